// Handlers of the states that write new material: the wait for a recording
// to start, recording, recording on to a sync point, and the overdub family
// (overdub, replace, substitute).
#include "quillomat_states.h"

namespace dsp = Quillomat::dsp;

namespace {

// A recording's first chunk: a fresh record with no source and nothing to
// copy, which only took the lengths and position of the head over.
void startRecording(QuillomatI* q, QmBlock* b, LoopChunk* loop, unsigned long i) {
    q->state = STATE_RECORD;
    qmTurn(q, nullptr, 0.0, 1.0f);
    b->fRate = 1.0f;
    loop->lLoopLength = 0;
    loop->lCycleLength = 0;
    loop->dCurrPos = 0.0;
    loop->lCycles = 1;
    q->nextState = -1;
    loop->dOrigFeedback = b->feedback.at((uint32_t)i);
    loop->lSyncOffset = b->fSyncMode == 2.0f ? q->lSamplesSinceSync : 0;
    // A new recording fades in from nothing, whatever the state before the
    // wait left the envelopes at (an overdub leaves the loop fade open, a
    // replace the feed fade closed): its start is what the input still coming
    // in at its end crossfades with, and play after it keeps it whole.
    qmCloseWrites(q);
    q->fLoopFadeDelta = dsp::fade_step(b->xfadeSamples);
}

// Room for the rest of the block, or the fall-back to play (rest dry).
LoopChunk* recordingSpace(QuillomatI* q, QmBlock* b) {
    LoopChunk* loop = b->loop;
    if (loop) loop = ensureLoopSpace(q, loop, (uint32_t)(b->SampleCount - b->lSampleIndex), nullptr);
    b->loop = loop;
    if (!loop) {
        qmRefuse(q);
        qmFallBackToPlay(q, b);
        qmDryRest(q, b);
    }
    return loop;
}

// The recorded length so far: every sample up to the position.
void setRecordedLength(LoopChunk* loop, double pos) {
    loop->dCurrPos = pos;
    loop->lLoopLength = qmToUnsigned(pos);
    loop->lCycleLength = loop->lLoopLength;
}

// One recorded sample at p; the input goes out dry.
inline void recordSample(QuillomatI* q, QmStretch& st, unsigned long i, uint32_t p) {
    const float in = dsp::finite_or_zero(q->pfInput[i]);
    *qmCell(q, st.loop, p) = dsp::mix_guard(st.env.loop * in);
    st.pos += 1.0;
    q->pfOutput[i] = st.dry.at((uint32_t)i) * in;
}

enum OverdubKind { kOverdub, kReplace, kSubstitute };

// Past either end the position wraps. A pending reverse is taken there, or at
// a sync pulse: the position turns round at once, at the sample just played,
// so copy-on-play always fills in the direction the position moves.
inline void overdubWrap(QuillomatI* q, LoopChunk* loop, double& pos, float& rate, float& pending, bool pulse,
                        bool canTurn) {
    const uint32_t len = loop->lLoopLength;
    const double dlen = (double)len;
    bool turn = pending != 0.0f && pulse;
    if (pos < 0.0) {
        pos += dlen;
        turn = pending != 0.0f;
    } else if (pos >= dlen) {
        pos = std::fmod(pos, dlen);
        turn = pending != 0.0f;
    }
    if (turn && canTurn) {
        pos = qmTakeReverse(q, loop, pos, pending);
        rate = q->fCurrRate;
    }
    if (!(pos >= 0.0 && pos < dlen)) pos = qmWrap(pos, len);
}

template <OverdubKind K>
void overdubWalk(QuillomatI* q, QmBlock* b, LoopChunk* loop) {
    QmStretch st(q, b, loop);
    QmEnv& env = st.env;
    const QmSync sync(q, b);
    QmCells cells(q, loop);
    const float* input = q->pfInput;
    float* output = q->pfOutput;
    const unsigned long n = b->SampleCount;
    const uint32_t len = loop->lLoopLength, cycle = loop->lCycleLength;
    const double dlen = (double)len;
    const float safety = b->fSafetyFeedback;
    const bool waiting = q->waitingForSync != 0, canTurn = qmCanTurn(loop);
    float rate = b->fRate, pending = q->fNextCurrRate;

    for (unsigned long i = b->lSampleIndex; i < n; ++i) {
        env.step();
        const uint32_t p = qmFold(st.pos, len);
        sync.rule(q, i, p, cycle);
        if (waiting && sync.point(i)) {
            b->fRate = rate;
            return st.enter(i, q->nextState);
        }
        cells.fill(p);
        float* cell = cells.at(p);
        const float in = dsp::finite_or_zero(input[i]), old = *cell, fb = st.fb.at((uint32_t)i);
        // The loop is heard through the play fade in all three, so one
        // entered from a mute or a replace fades in instead of jumping in.
        output[i] = env.play * st.wet.at((uint32_t)i) * old + st.dry.at((uint32_t)i) * in;
        *cell = dsp::mix_guard(K == kOverdub ? env.loop * in + safety * env.feed * fb * old
                                             : in * env.loop + env.feed * fb * old);
        st.pos += rate;
        if (st.pos >= 0.0 && st.pos < dlen && pending == 0.0f) continue;
        overdubWrap(q, loop, st.pos, rate, pending, sync.in[i] != 0.0f, canTurn);
    }
    b->fRate = rate;
    st.leave(n);
}

} // namespace

void qmHandleRecWait(QuillomatI* q, QmBlock* b) {
    const float* input = q->pfInput;
    const float* syncIn = q->pfSyncInput;
    float* output = q->pfOutput;
    const unsigned long n = b->SampleCount;
    const float mode = b->fSyncMode;
    const float thresh = b->fTrigThresh;
    const dsp::LinearRamp dry = b->dry;

    for (unsigned long i = b->lSampleIndex; i < n; ++i) {
        const float in = input[i];
        const bool start = (mode == 0.0f && (in > thresh || thresh == 0.0f)) || mode == 2.0f ||
                           (mode > 0.0f && syncIn[i] != 0.0f);
        if (!start) {
            output[i] = dry.at((uint32_t)i) * in;
            continue;
        }
        // The triggering sample is recorded: hand it on unprocessed.
        b->lSampleIndex = i;
        LoopChunk* loop = b->loop = pushNewLoopChunk(q, 0, nullptr);
        if (loop) startRecording(q, b, loop, i);
        else qmFallBackToPlay(q, b);
        return;
    }
    b->lSampleIndex = n;
}

void qmHandleRecord(QuillomatI* q, QmBlock* b) {
    LoopChunk* loop = recordingSpace(q, b);
    if (!loop) return;
    QmStretch st(q, b, loop);
    const QmSync sync(q, b);
    const unsigned long n = b->SampleCount;
    b->fRate = 1.0f;  // recording always runs forward

    for (unsigned long i = b->lSampleIndex; i < n; ++i) {
        st.env.loop = dsp::envelope_step(st.env.loop, st.env.loopD);
        sync.count(q, i);
        const uint32_t p = qmToUnsigned(st.pos);
        if (p == 0) sync.out[i] = 1.0f;
        recordSample(q, st, i, p);
    }
    setRecordedLength(loop, st.pos);
    st.leave(n);
}

void qmHandleRecEnding(QuillomatI* q, QmBlock* b) {
    LoopChunk* loop = recordingSpace(q, b);
    if (!loop) return;
    QmStretch st(q, b, loop);
    const QmSync sync(q, b);
    const unsigned long n = b->SampleCount;
    b->fRate = 1.0f;

    for (unsigned long i = b->lSampleIndex; i < n; ++i) {
        st.env.loop = dsp::envelope_step(st.env.loop, st.env.loopD);
        const uint32_t p = qmToUnsigned(st.pos);
        const bool end = sync.off || (sync.relative ? q->lSamplesSinceSync == loop->lSyncOffset : sync.in[i] != 0.0f);
        if (end) {
            if (sync.relative) q->recSyncEnded = true;
            // The loop is p samples long before the next state takes it as
            // its source.
            st.pos = (double)p;
            setRecordedLength(loop, st.pos);
            loop->lCycles = 1;
            return st.enter(i, q->nextState);
        }
        sync.count(q, i);
        recordSample(q, st, i, p);
    }
    setRecordedLength(loop, st.pos);
    loop->lCycles = 1;
    st.leave(n);
}

void qmHandleOverdub(QuillomatI* q, QmBlock* b) {
    LoopChunk* loop = b->loop;
    if (!loop || loop->lLoopLength == 0) return qmDryRest(q, b);
    // Entered mid-block, the begin operation has just set the direction.
    b->fRate = q->fCurrRate < 0.0f ? -1.0f : 1.0f;
    switch (q->state) {
    case STATE_REPLACE: overdubWalk<kReplace>(q, b, loop); break;
    case STATE_SUBSTITUTE: overdubWalk<kSubstitute>(q, b, loop); break;
    default: overdubWalk<kOverdub>(q, b, loop); break;
    }
}
