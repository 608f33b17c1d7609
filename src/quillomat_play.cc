// Handlers of the playback states (play, mute, scratch, one-shot) and of the
// tap delay.
#include "quillomat_states.h"

namespace dsp = Quillomat::dsp;

namespace {

const uint32_t kScratchLapse = 14000;  // samples without a control move

// The "Rate" port's speed when rate control is on, else standstill.
float rateCtrl(const QuillomatI* q) {
    if (!q->bRateCtrlActive || !q->pfRate) return 0.0f;
    return dsp::finite_or_zero(*q->pfRate);
}

// Play speed while scratching, worked out once per block from where the
// scratch control stood at its start.
float scratchRate(QuillomatI* q, const QmBlock* b, const LoopChunk* loop) {
    const double len = (double)loop->lLoopLength;
    const double ratio = loop->dCurrPos / len;
    const float target = b->scratch.start;
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

// The play family's run over its stretch of the block.
struct PlayWalk {
    QmStretch st;
    const QmSync sync;
    QmCells cells;
    const uint32_t len, cycle, syncSamples;
    const double dlen;
    const bool scratching, useFeedback, tempo, playSync, canTurn;
    const long syncWindow;
    float rate, pending;
    bool donePlaySync, oneShot;

    PlayWalk(QuillomatI* q, QmBlock* b, LoopChunk* loop)
        : st(q, b, loop), sync(q, b), cells(q, loop), len(loop->lLoopLength), cycle(loop->lCycleLength),
          syncSamples(b->syncSamples), dlen((double)len), scratching(q->state == STATE_SCRATCH),
          useFeedback(b->useFeedbackPlay != 0.0f), tempo(b->fTempo > 0.0f),
          playSync(syncSamples != 0 && b->fPlaybackSyncMode != 0.0f && b->fQuantizeMode != 0.0f),
          canTurn(qmCanTurn(loop)), syncWindow(lrintf((float)syncSamples)),
          rate(scratching ? scratchRate(q, b, loop) : b->fRate), pending(q->fNextCurrRate),
          donePlaySync(q->donePlaySync), oneShot(q->state == STATE_ONESHOT) {}

    // Playback sync: a pulse near the loop's end (or just after its start)
    // restarts the loop, once per pass. True when it did.
    bool restartOnPulse(unsigned long i, uint32_t p, float dir) {
        if (!playSync || donePlaySync || sync.in[i] == 0.0f) return false;
        if ((uint64_t)p + syncSamples < len && (p == 0 || (long)p >= syncWindow)) return false;
        donePlaySync = true;
        st.pos = dir > 0.0f ? 0.0 : dlen - 1.0;
        sync.out[i] = 1.0f;
        return true;
    }

    // One sample at p: copy-on-play, then the loop heard through the play
    // fade and kept through the feed fade (the loop fade carries the tail of
    // a crossfade out of recording or overdubbing).
    void playSample(unsigned long i, uint32_t p) {
        QmEnv& env = st.env;
        cells.fill(p);
        float* cell = cells.at(p);
        const float in = dsp::finite_or_zero(st.q->pfInput[i]), old = *cell;
        const float out = st.wet.at((uint32_t)i) * env.play * old + st.dry.at((uint32_t)i) * in;
        float now = old * env.feed + env.loop * in;
        if (useFeedback) now = now * (st.fb.at((uint32_t)i) * env.feed);
        *cell = dsp::mix_guard(now);
        st.pos += rate;
        st.q->pfOutput[i] = out;
    }

    // Past either end: the one-shot is over, a reverse waiting for a pulse on
    // the loop point is taken, playback sync may act again. The top end is
    // not folded here (addressing folds), so these repeat for the rest of
    // the block.
    void passEnd(unsigned long i, bool turn, bool jumped) {
        QuillomatI* q = st.q;
        const bool wrapped = st.pos >= dlen || st.pos < 0.0;
        if (st.pos < 0.0) st.pos += dlen;
        if (wrapped) {
            if (oneShot) {
                oneShot = false;
                q->state = STATE_MUTE;
                st.env.playD = -dsp::fade_step(st.b->xfadeSamples);
            }
            if (pending != 0.0f && sync.in[i] != 0.0f && canTurn) turn = true;
            donePlaySync = false;
        }
        if (turn) {
            const float from = rate;
            st.pos = qmTakeReverse(q, scratching || jumped ? nullptr : st.loop, st.pos, pending);
            if (!scratching) {
                // After a restart the new direction simply starts there.
                if (jumped) st.pos = qmWrap(st.pos - from + q->fCurrRate, len);
                rate = q->fCurrRate;
            }
        }
        if (!(st.pos >= 0.0) || !std::isfinite(st.pos)) st.pos = qmWrap(st.pos, len);
    }

    // A waiting command enters at sample i, which the next state plays; a
    // reverse due on the same pulse sets the direction it starts out in.
    void enterWaiting(unsigned long i, uint32_t p, bool turn) {
        double whole;
        st.pos = (double)p + std::modf(st.pos, &whole);
        if (turn) {
            qmTakeReverse(st.q, nullptr, st.pos, pending);
            if (!scratching) rate = st.q->fCurrRate;
        }
        finish();
        st.enter(i, st.q->nextState);
    }

    void finish() {
        st.q->donePlaySync = donePlaySync;
        st.b->fRate = rate;
    }

    void run() {
        QuillomatI* q = st.q;
        const bool waiting = q->waitingForSync != 0;
        const unsigned long n = st.b->SampleCount;
        for (unsigned long i = st.b->lSampleIndex; i < n; ++i) {
            const uint32_t p = qmFold(st.pos, len);
            sync.rule(q, i, p, cycle);
            // A reverse waiting for a pulse is taken on this sample; the
            // position turns round once the sample has played.
            const bool turn = pending != 0.0f && sync.in[i] != 0.0f && tempo && canTurn;
            const bool jumped = restartOnPulse(i, p, turn ? pending : q->fCurrRate);
            if (waiting && sync.point(i)) return enterWaiting(i, p, turn);
            st.env.step();
            playSample(i, p);
            if (!turn && st.pos < dlen && st.pos >= 0.0 && pending == 0.0f) continue;
            passEnd(i, turn, jumped);
        }
        finish();
        st.pos = qmWrap(st.pos, len);
        st.leave(n);
    }
};

} // namespace

void qmHandlePlay(QuillomatI* q, QmBlock* b) {
    LoopChunk* loop = b->loop;
    if (!loop || loop->lLoopLength == 0) return qmDryRest(q, b);
    PlayWalk(q, b, loop).run();
}

void qmHandleDelay(QuillomatI* q, QmBlock* b) {
    LoopChunk* loop = b->loop;
    if (!loop || loop->lLoopLength == 0) return qmDryRest(q, b);
    QmStretch st(q, b, loop);
    const float* input = q->pfInput;
    const float* syncIn = q->pfSyncInput;
    float* syncOut = q->pfSyncOutput;
    float* output = q->pfOutput;
    const unsigned long n = b->SampleCount;
    const uint32_t len = loop->lLoopLength, cycle = loop->lCycleLength;
    const double dlen = (double)len, rate = b->fRate;
    const bool gridPulses = b->fSyncMode == 0.0f && b->fQuantizeMode != 0.0f, hold = q->bHoldMode != 0;
    st.pos = qmWrap(st.pos, len);

    for (unsigned long i = b->lSampleIndex; i < n; ++i) {
        const uint32_t p = qmFold(st.pos, len);
        float* cell = qmCell(q, loop, p);
        // The marked range is cleared once as the position passes. The cleared
        // cell leaves the range from whichever end the position is at, so
        // the clearing completes in either direction, reversed included.
        if (loop->backfill && p >= loop->lMarkEndL && p <= loop->lMarkEndH) {
            *cell = 0.0f;
            if (loop->lMarkEndL == loop->lMarkEndH) qmClearBack(loop);
            else if (p == loop->lMarkEndL) loop->lMarkEndL = p + 1;
            else if (p == loop->lMarkEndH) loop->lMarkEndH = p - 1;
            else if (rate > 0.0) loop->lMarkEndL = p;
            else loop->lMarkEndH = p;
        }
        const float in = dsp::finite_or_zero(input[i]), old = *cell;
        output[i] = st.wet.at((uint32_t)i) * old + st.dry.at((uint32_t)i) * in;
        if (!hold) *cell = dsp::mix_guard(in + st.fb.at((uint32_t)i) * old);
        if (!gridPulses) syncOut[i] = syncIn[i];
        else if (qmMultiple(p, cycle)) syncOut[i] = 1.0f;

        st.pos += rate;
        if (st.pos < 0.0) st.pos += dlen;
        else if (st.pos >= dlen) st.pos -= dlen;
        if (!(st.pos >= 0.0 && st.pos < dlen)) st.pos = qmWrap(st.pos, len);
    }
    st.leave(n);
}
