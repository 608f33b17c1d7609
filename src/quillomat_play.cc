// Handlers of the playback states (play, mute, scratch, one-shot) and of the
// tap delay.
#include "quillomat_states.h"

namespace {

const uint32_t kScratchLapse = 14000;  // samples without a control move

// The "Rate" port's speed when rate control is on, else standstill.
float rateCtrl(const QuillomatI* q) {
    if (!q->bRateCtrlActive || !q->pfRate) return 0.0f;
    const float r = *q->pfRate;
    return std::isfinite(r) ? r : 0.0f;
}

// Play speed while scratching, worked out once per block.
float scratchRate(QuillomatI* q, const QmBlock* b, const LoopChunk* loop) {
    const double len = (double)loop->lLoopLength;
    const double ratio = loop->dCurrPos / len;
    const float target = b->fScratchPos;
    if (q->fLastScratchVal != target && q->lScratchSamples != 0) {
        float rate = b->fRate;
        if (q->lScratchSamples < kScratchLapse)
            q->fCurrScratchRate = (float)(((double)target - ratio) * len / (double)q->lScratchSamples);
        else
            rate = rateCtrl(q);
        q->lScratchSamples = 0;
        q->fLastScratchVal = target;
        return rate;
    }
    const float s = q->fCurrScratchRate;
    if (std::fabs(s) < 0.2f || q->lScratchSamples > kScratchLapse || (s > 0.0f && ratio >= q->fLastScratchVal) ||
        (s < 0.0f && ratio <= q->fLastScratchVal) || !std::isfinite(s)) {
        q->fCurrScratchRate = 0.0f;
        return rateCtrl(q);
    }
    return s;
}

} // namespace

void qmHandlePlay(QuillomatI* q, QmBlock* b) {
    LoopChunk* loop = b->loop;
    if (!loop || loop->lLoopLength == 0) {
        qmDryRest(q, b);
        return;
    }
    const bool scratching = q->state == STATE_SCRATCH;
    float rate = scratching ? scratchRate(q, b, loop) : b->fRate;

    QmRamps r(b);
    QmEnv env(q);
    const QmSync sync(q, b);
    const float* input = q->pfInput;
    float* output = q->pfOutput;
    const unsigned long n = b->SampleCount;
    const uint32_t len = loop->lLoopLength;
    const double dlen = (double)len;
    const uint32_t cycle = loop->lCycleLength;
    const float fadeStep = qmFadeStep(b);
    const bool useFeedback = b->useFeedbackPlay != 0.0f;
    const bool tempo = b->fTempo > 0.0f;
    const uint32_t syncSamples = b->syncSamples;
    const bool playSync = syncSamples != 0 && b->fPlaybackSyncMode != 0.0f && b->fQuantizeMode != 0.0f;
    const long syncWindow = lrintf((float)syncSamples);
    double pos = loop->dCurrPos;
    if (!scratching) pos = qmTurnIfReversed(q, loop, pos, rate);
    QmCells cells(q, loop);
    // Held here while the loop runs; only this handler changes them.
    float pending = q->fNextCurrRate;
    bool donePlaySync = q->donePlaySync;
    bool oneShot = q->state == STATE_ONESHOT;
    const bool waiting = q->waitingForSync != 0;

    unsigned long i = b->lSampleIndex;
    for (; i < n; ++i) {
        const uint32_t p = qmFold(pos, len);
        float* cell = cells.at(p);
        sync.rule(q, i, p, cycle);

        // A reverse waiting for a pulse is taken on this sample; the position
        // turns round once the sample has played.
        bool turn = pending != 0.0f && sync.in[i] != 0.0f && tempo;
        const float dir = turn ? pending : q->fCurrRate;

        bool jumped = false;
        if (playSync && !donePlaySync && sync.in[i] != 0.0f &&
            ((uint64_t)p + syncSamples >= len || (p != 0 && (long)p < syncWindow))) {
            donePlaySync = true;
            jumped = true;
            pos = dir > 0.0f ? 0.0 : dlen - 1.0;
            sync.out[i] = 1.0f;
        }

        if (waiting && sync.point(i)) {
            double whole;
            pos = (double)p + std::modf(pos, &whole);
            if (turn) {
                // The next state starts out in the new direction.
                q->fCurrRate = pending;
                q->fNextCurrRate = 0.0f;
                if (!scratching) rate = pending;
            }
            r.store(b);
            env.store(q);
            q->donePlaySync = donePlaySync;
            loop->dCurrPos = pos;
            b->fRate = rate;
            b->lSampleIndex = i;
            q->waitingForSync = 0;
            qmNoteMove(q, scratching ? nullptr : loop, rate);
            b->loop = qmEnterNext(q, loop, q->nextState);
            return;
        }

        r.step(i);
        env.loop = qmEnvStep(env.loop, env.loopD);
        env.play = qmEnvStep(env.play, env.playD);
        env.feed = qmEnvStep(env.feed, env.feedD);
        const float wet = r.wet * env.play;

        cells.fill(p);
        const float in = qmIn(input[i]);
        const float old = *cell;
        const float out = wet * old + r.dry * in;
        float now = old * env.feed + env.loop * in;
        if (useFeedback) now = now * (r.fb * env.feed);
        *cell = qmStore(now);
        pos += rate;
        output[i] = out;

        if (!turn && pos < dlen && pos >= 0.0 && pending == 0.0f) continue;

        // Past either end: the one-shot is over, a reverse waiting for a
        // pulse on the loop point is taken, playback sync may act again. The
        // top end is not folded here (addressing folds), so these repeat for
        // the rest of the block.
        bool wrapped = false;
        if (pos >= dlen) {
            wrapped = true;
        } else if (pos < 0.0) {
            pos += dlen;
            wrapped = true;
        }
        if (wrapped) {
            if (oneShot) {
                oneShot = false;
                q->state = STATE_MUTE;
                env.playD = -fadeStep;
            }
            if (pending != 0.0f && sync.in[i] != 0.0f) turn = true;
            donePlaySync = false;
        }

        if (turn) {
            q->fCurrRate = pending;
            q->fNextCurrRate = pending = 0.0f;
            if (!scratching && (q->fCurrRate < 0.0f) != (rate < 0.0f)) {
                // After a restart the new direction simply starts there.
                pos = jumped ? qmWrap(pos - rate + q->fCurrRate, len) : qmTurnRound(q, loop, pos, rate, q->fCurrRate);
                rate = q->fCurrRate;
            }
        }
        if (!(pos >= 0.0) || !std::isfinite(pos)) pos = qmWrap(pos, len);
    }
    r.store(b);
    env.store(q);
    q->donePlaySync = donePlaySync;
    loop->dCurrPos = qmWrap(pos, len);
    b->fRate = rate;
    b->lSampleIndex = n;
    qmNoteMove(q, scratching ? nullptr : loop, rate);
}

void qmHandleDelay(QuillomatI* q, QmBlock* b) {
    LoopChunk* loop = b->loop;
    if (!loop || loop->lLoopLength == 0) {
        qmDryRest(q, b);
        return;
    }
    QmRamps r(b);
    const float* input = q->pfInput;
    const float* syncIn = q->pfSyncInput;
    float* syncOut = q->pfSyncOutput;
    float* output = q->pfOutput;
    const unsigned long n = b->SampleCount;
    const uint32_t len = loop->lLoopLength;
    const double dlen = (double)len;
    const uint32_t cycle = loop->lCycleLength;
    const bool gridPulses = b->fSyncMode == 0.0f && b->fQuantizeMode != 0.0f;
    const bool hold = q->bHoldMode != 0;
    const double rate = b->fRate;
    double pos = qmWrap(loop->dCurrPos, len);

    for (unsigned long i = b->lSampleIndex; i < n; ++i) {
        r.step(i);
        const uint32_t p = qmFold(pos, len);
        float* cell = qmCell(q, loop, p);
        const float in = qmIn(input[i]);

        // The marked range is cleared once as the position passes. The cleared
        // cell leaves the range from whichever end the position is at, so
        // the clearing completes in either direction, reversed included.
        if (loop->backfill && p >= loop->lMarkEndL && p <= loop->lMarkEndH) {
            *cell = 0.0f;
            if (loop->lMarkEndL == loop->lMarkEndH) {
                loop->backfill = 0;
                loop->lMarkEndL = loop->lMarkEndH = QM_EMPTY_MARK;
            } else if (p == loop->lMarkEndL) {
                loop->lMarkEndL = p + 1;
            } else if (p == loop->lMarkEndH) {
                loop->lMarkEndH = p - 1;
            } else if (rate > 0.0) {
                loop->lMarkEndL = p;
            } else {
                loop->lMarkEndH = p;
            }
        }

        const float old = *cell;
        output[i] = r.wet * old + r.dry * in;
        if (!hold) *cell = qmStore(in + r.fb * old);

        if (gridPulses) {
            if (qmMultiple(p, cycle)) syncOut[i] = 1.0f;
        } else {
            syncOut[i] = syncIn[i];
        }

        pos += rate;
        if (pos < 0.0) pos += dlen;
        else if (pos >= dlen) pos -= dlen;
        if (!(pos >= 0.0 && pos < dlen)) pos = qmWrap(pos, len);
    }
    r.store(b);
    loop->dCurrPos = pos;
    b->lSampleIndex = n;
    qmNoteMove(q, nullptr, 0.0f);
}
