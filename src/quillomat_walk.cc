// The sample walk: hands each stretch of the block to the handler of the
// current state, then fills the output ports.
#include "quillomat_states.h"

namespace dsp = Quillomat::dsp;

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

// Where a level stands after the block: its target, unless the block had no
// samples to ramp over.
float endLevel(const dsp::LinearRamp& r) { return r.frames ? r.target : r.start; }

void writeOutputs(QuillomatI* q, QmBlock* b) {
    saturatingAdd(q->lScratchSamples, b->SampleCount);
    saturatingAdd(q->lTapTrigSamples, b->SampleCount);

    // The next block's ramps start where this one ended.
    q->fWetCurr = endLevel(b->wet);
    q->fDryCurr = endLevel(b->dry);
    q->fFeedbackCurr = endLevel(b->feedback);
    q->fScratchPosCurr = endLevel(b->scratch);

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
    if (q->pfRateOutput) *q->pfRateOutput = dsp::finite_or_zero(q->fCurrRate * (q->pfRate ? *q->pfRate : 1.0f));

    const float rate = q->fSampleRate;
    if (q->pfSecsFree) *q->pfSecsFree = (float)q->lBufferSize / rate;
    if (q->pfLoopPos) *q->pfLoopPos = loop ? dsp::finite_or_zero((float)(loop->dCurrPos / rate)) : 0.0f;
    if (q->pfLoopLength) *q->pfLoopLength = loop ? (float)loop->lLoopLength / rate : 0.0f;
    if (q->pfCycleLength) *q->pfCycleLength = loop ? (float)loop->lCycleLength / rate : 0.0f;
}

// A reverse given with quantize off waits only while the loop still relays
// its source in one direction; it is taken as soon as that is done.
void releaseHeldReverse(QuillomatI* q, const QmBlock* b) {
    if (q->fNextCurrRate != 0.0f && b->fQuantizeMode == 0.0f && qmCanTurn(q->headLoopChunk)) {
        qmReverseNow(q, q->fNextCurrRate);
        q->fNextCurrRate = 0.0f;
    }
}

} // namespace

void processBlock(QuillomatI* q, QmBlock* b) {
    releaseHeldReverse(q, b);
    qmRunTail(q, b);
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
    qmRunFadeOut(q, b);
    writeOutputs(q, b);
}

// transitionToNext clears what was pending; a continued multiply sets its own
// end again, which must survive.
LoopChunk* qmEnterNext(QuillomatI* q, LoopChunk* loop, int next) {
    return transitionToNext(q, loop, next < 0 ? STATE_PLAY : next);
}

void qmFallBackToPlay(QuillomatI* q, const QmBlock* b) {
    q->state = STATE_PLAY;
    q->wasMuted = false;
    q->rounding = false;
    qmPlayFades(q, dsp::fade_step(b->xfadeSamples));
}

void qmDryRest(QuillomatI* q, QmBlock* b) {
    const QmSync sync(q, b);
    const float* in = q->pfInput;
    float* out = q->pfOutput;
    const dsp::LinearRamp dry = b->dry;
    const unsigned long n = b->SampleCount;
    for (unsigned long i = b->lSampleIndex; i < n; ++i) {
        out[i] = dry.at((uint32_t)i) * in[i];
        sync.count(q, i);
    }
    b->lSampleIndex = n;
}

void qmDrySample(QuillomatI* q, QmBlock* b) {
    const unsigned long i = b->lSampleIndex;
    if (i >= b->SampleCount) return;
    q->pfOutput[i] = b->dry.at((uint32_t)i) * q->pfInput[i];
    QmSync(q, b).count(q, i);
    b->lSampleIndex = i + 1;
}

void qmSettlePending(QuillomatI* q) {
    const bool canWait = (qmPlaysHead(q->state) || q->state == STATE_REC_ENDING || q->state == STATE_MULTIPLY) &&
                         q->headLoopChunk != nullptr;
    if (!canWait) q->waitingForSync = 0;
    if (q->state != STATE_MULTIPLY && q->state != STATE_INSERT) q->rounding = false;
    if (!q->waitingForSync && !q->rounding && q->state != STATE_REC_ENDING && q->state != STATE_MULTIPLY)
        q->nextState = -1;
}
