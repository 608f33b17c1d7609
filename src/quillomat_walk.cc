// The sample walk: hands each stretch of the block to the handler of the
// current state, then fills the output ports.
#include "quillomat_states.h"

namespace {

// Handlers that change state hand the same sample on; a chain of changes is
// short (at most three in practice). Past this many hand-overs without
// progress the sample goes out dry so the audio thread always moves on.
const unsigned kMaxHandOvers = 8;

void dispatch(QuillomatI* q, QmBlock* b) {
    switch (q->state) {
    case STATE_REC_WAIT: qmHandleRecWait(q, b); break;
    case STATE_RECORD: qmHandleRecord(q, b); break;
    case STATE_REC_ENDING: qmHandleRecEnding(q, b); break;
    case STATE_OVERDUB:
    case STATE_REPLACE:
    case STATE_SUBSTITUTE: qmHandleOverdub(q, b); break;
    case STATE_MULTIPLY: qmHandleMultiply(q, b); break;
    case STATE_INSERT: qmHandleInsert(q, b); break;
    case STATE_PLAY:
    case STATE_MUTE:
    case STATE_SCRATCH:
    case STATE_ONESHOT: qmHandlePlay(q, b); break;
    case STATE_DELAY: qmHandleDelay(q, b); break;
    default: qmDryRest(q, b); break;
    }
}

void saturatingAdd(uint32_t& counter, unsigned long n) {
    const uint64_t sum = (uint64_t)counter + n;
    counter = sum > 0xffffffffu ? 0xffffffffu : (uint32_t)sum;
}

float finiteOr0(float v) { return std::isfinite(v) ? v : 0.0f; }

void writeOutputs(QuillomatI* q, QmBlock* b) {
    saturatingAdd(q->lScratchSamples, b->SampleCount);
    saturatingAdd(q->lTapTrigSamples, b->SampleCount);

    // The next block's ramps start where this one ended (the target, unless
    // the block had no samples to ramp over).
    q->fWetCurr = b->fWet;
    q->fDryCurr = b->fDry;
    q->fFeedbackCurr = b->fFeedback;
    q->fScratchPosCurr = b->fScratchPos;

    // Anything left pending by a state the walk has since left.
    qmSettlePending(q);

    const LoopChunk* loop = q->headLoopChunk;
    int stateOut = q->state;
    if (!loop && stateOut != STATE_MUTE && stateOut != STATE_REC_WAIT) stateOut = STATE_OFF;
    if (q->pfStateOut) *q->pfStateOut = (float)stateOut;
    if (q->pfNextStateOut) *q->pfNextStateOut = (float)q->nextState;
    if (q->pfWaiting) {
        const bool waiting = q->waitingForSync || q->state == STATE_REC_WAIT || q->state == STATE_REC_ENDING ||
                             q->fNextCurrRate != 0.0f || q->rounding;
        *q->pfWaiting = waiting ? 1.0f : 0.0f;
    }
    if (q->pfRateOutput) *q->pfRateOutput = finiteOr0(q->fCurrRate * (q->pfRate ? *q->pfRate : 1.0f));

    const float rate = q->fSampleRate;
    if (q->pfSecsFree) *q->pfSecsFree = (float)q->lBufferSize / rate;
    if (q->pfLoopPos) *q->pfLoopPos = loop ? finiteOr0((float)(loop->dCurrPos / rate)) : 0.0f;
    if (q->pfLoopLength) *q->pfLoopLength = loop ? (float)loop->lLoopLength / rate : 0.0f;
    if (q->pfCycleLength) *q->pfCycleLength = loop ? (float)loop->lCycleLength / rate : 0.0f;
}

} // namespace

void processBlock(QuillomatI* q, QmBlock* b) {
    unsigned long last = (unsigned long)-1;
    unsigned handOvers = 0;
    while (b->lSampleIndex < b->SampleCount) {
        if (b->lSampleIndex != last) {
            last = b->lSampleIndex;
            handOvers = 0;
        } else if (++handOvers > kMaxHandOvers) {
            qmDrySample(q, b);
            continue;
        }
        b->loop = q->headLoopChunk;
        dispatch(q, b);
    }
    writeOutputs(q, b);
}

// transitionToNext clears what was pending; a continued multiply sets its own
// end again, which must survive.
LoopChunk* qmEnterNext(QuillomatI* q, LoopChunk* loop, int next) {
    return transitionToNext(q, loop, next < 0 ? STATE_PLAY : next);
}

namespace {

// A range [lo, hi] being filled in the old direction has its near end on the
// sample just played: that sample is done.
void excludeDone(int flag, uint32_t& lo, uint32_t& hi, uint32_t x, bool forward) {
    if (!flag) return;
    if (forward && lo == x && x < hi) lo = x + 1;
    else if (!forward && hi == x && x > lo) hi = x - 1;
}

} // namespace

double qmTurnRound(QuillomatI* q, LoopChunk* loop, double pos, float oldRate, float newRate) {
    const uint32_t len = loop->lLoopLength;
    const uint32_t x = qmFold(qmWrap(pos - oldRate, len), len);
    const bool forward = oldRate > 0.0f;
    uint32_t guard = q->lLoopChunkCount;
    for (LoopChunk* c = loop; c && c->valid && (c->frontfill || c->backfill) && guard > 0; c = c->srcloop, --guard) {
        excludeDone(c->frontfill, c->lMarkL, c->lMarkH, x, forward);
        excludeDone(c->backfill, c->lMarkEndL, c->lMarkEndH, x, forward);
    }
    return qmWrap((double)x + (pos - std::floor(pos)) + newRate, len);
}

void qmFallBackToPlay(QuillomatI* q, const QmBlock* b) {
    q->state = STATE_PLAY;
    q->wasMuted = false;
    q->rounding = false;
    qmPlayFades(q, qmFadeStep(b));
}

void qmDryRest(QuillomatI* q, QmBlock* b) {
    QmRamps r(b);
    const QmSync sync(q, b);
    const float* in = q->pfInput;
    float* out = q->pfOutput;
    const unsigned long n = b->SampleCount;
    for (unsigned long i = b->lSampleIndex; i < n; ++i) {
        r.step(i);
        out[i] = r.dry * in[i];
        sync.count(q, i);
    }
    r.store(b);
    b->lSampleIndex = n;
}

void qmDrySample(QuillomatI* q, QmBlock* b) {
    const unsigned long i = b->lSampleIndex;
    if (i >= b->SampleCount) return;
    QmRamps r(b);
    r.step(i);
    q->pfOutput[i] = r.dry * q->pfInput[i];
    QmSync(q, b).count(q, i);
    r.store(b);
    b->lSampleIndex = i + 1;
}
