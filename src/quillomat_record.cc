// Handlers of the states that write new material: the wait for a recording
// to start, recording, recording on to a sync point, and the overdub family
// (overdub, replace, substitute).
#include "quillomat_states.h"

namespace {

// A recording's first chunk: a fresh record with no source and nothing to
// copy, which only took the lengths and position of the head over.
void startRecording(QuillomatI* q, QmBlock* b, LoopChunk* loop) {
    q->state = STATE_RECORD;
    q->fCurrRate = 1.0f;
    b->fRate = 1.0f;
    loop->lLoopLength = 0;
    loop->lCycleLength = 0;
    loop->dCurrPos = 0.0;
    loop->lCycles = 1;
    q->nextState = -1;
    loop->dOrigFeedback = b->fFeedback;
    loop->lSyncOffset = b->fSyncMode == 2.0f ? q->lSamplesSinceSync : 0;
    // A new recording fades in from nothing, whatever the state before the
    // wait left the envelopes at (an overdub leaves the loop fade open, a
    // replace the feed fade closed): its start is what the input still coming
    // in at its end crossfades with, and play after it keeps it whole.
    qmCloseWrites(q);
    q->fLoopFadeDelta = qmFadeStep(b);
}

// Room for the rest of the block, or the fall-back to play (rest dry).
LoopChunk* recordingSpace(QuillomatI* q, QmBlock* b) {
    LoopChunk* loop = b->loop;
    if (loop) loop = ensureLoopSpace(q, loop, (uint32_t)(b->SampleCount - b->lSampleIndex), nullptr);
    b->loop = loop;
    if (!loop) {
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

enum OverdubKind { kOverdub, kReplace, kSubstitute };

template <OverdubKind K>
void overdubWalk(QuillomatI* q, QmBlock* b, LoopChunk* loop) {
    QmRamps r(b);
    QmEnv env(q);
    const QmSync sync(q, b);
    const float* input = q->pfInput;
    float* output = q->pfOutput;
    const unsigned long n = b->SampleCount;
    const uint32_t len = loop->lLoopLength;
    const double dlen = (double)len;
    const uint32_t cycle = loop->lCycleLength;
    const float safety = b->fSafetyFeedback;
    float rate = b->fRate;
    double pos = qmTurnIfReversed(q, loop, loop->dCurrPos, rate);
    QmCells cells(q, loop);
    // Held here while the loop runs; only this handler changes them.
    float pending = q->fNextCurrRate;
    const bool waiting = q->waitingForSync != 0;

    unsigned long i = b->lSampleIndex;
    for (; i < n; ++i) {
        r.step(i);
        env.play = qmEnvStep(env.play, env.playD);
        env.loop = qmEnvStep(env.loop, env.loopD);
        env.feed = qmEnvStep(env.feed, env.feedD);

        const uint32_t p = qmFold(pos, len);
        float* cell = cells.at(p);
        sync.rule(q, i, p, cycle);

        if (waiting && sync.point(i)) {
            r.store(b);
            env.store(q);
            loop->dCurrPos = pos;
            b->fRate = rate;
            b->lSampleIndex = i;
            q->waitingForSync = 0;
            qmNoteMove(q, loop, rate);
            b->loop = qmEnterNext(q, loop, q->nextState);
            return;
        }

        const float in = qmIn(input[i]);
        cells.fill(p);
        const float old = *cell;
        // The loop is heard through the play fade in all three, so one
        // entered from a mute or a replace fades in instead of jumping in.
        const float out = env.play * r.wet * old + r.dry * in;
        const float now = K == kOverdub ? env.loop * in + safety * env.feed * r.fb * old
                                        : in * env.loop + env.feed * r.fb * old;
        *cell = qmStore(now);
        output[i] = out;
        pos += rate;
        if (pos >= 0.0 && pos < dlen && pending == 0.0f) continue;

        // A pending reverse: at a sync pulse, or at the wrap below. The
        // position turns round at once, at the sample just played, so
        // copy-on-play always fills in the direction the position moves.
        bool turn = pending != 0.0f && sync.in[i] != 0.0f;
        if (pos < 0.0) {
            pos += dlen;
            if (pending != 0.0f) turn = true;
        } else if (pos >= dlen) {
            pos = std::fmod(pos, dlen);
            if (pending != 0.0f) turn = true;
        }
        if (turn) {
            q->fCurrRate = pending;
            q->fNextCurrRate = pending = 0.0f;
            if ((q->fCurrRate < 0.0f) != (rate < 0.0f)) {
                pos = qmTurnRound(q, loop, pos, rate, q->fCurrRate);
                rate = q->fCurrRate;
            }
        }
        if (!(pos >= 0.0 && pos < dlen)) pos = qmWrap(pos, len);
    }
    r.store(b);
    env.store(q);
    loop->dCurrPos = pos;
    b->fRate = rate;
    b->lSampleIndex = n;
    qmNoteMove(q, loop, rate);
}

} // namespace

void qmHandleRecWait(QuillomatI* q, QmBlock* b) {
    QmRamps r(b);
    const float* input = q->pfInput;
    const float* syncIn = q->pfSyncInput;
    float* output = q->pfOutput;
    const unsigned long n = b->SampleCount;
    const float mode = b->fSyncMode;
    const float thresh = b->fTrigThresh;

    for (unsigned long i = b->lSampleIndex; i < n; ++i) {
        r.step(i);
        const float in = input[i];
        const bool start = (mode == 0.0f && (in > thresh || thresh == 0.0f)) || mode == 2.0f ||
                           (mode > 0.0f && syncIn[i] != 0.0f);
        if (!start) {
            output[i] = r.dry * in;
            continue;
        }
        // The triggering sample is recorded: hand it on unprocessed.
        r.store(b);
        b->lSampleIndex = i;
        LoopChunk* loop = pushNewLoopChunk(q, 0, nullptr);
        b->loop = loop;
        if (!loop) {
            qmFallBackToPlay(q, b);
            return;
        }
        startRecording(q, b, loop);
        return;
    }
    r.store(b);
    b->lSampleIndex = n;
}

void qmHandleRecord(QuillomatI* q, QmBlock* b) {
    LoopChunk* loop = recordingSpace(q, b);
    if (!loop) return;

    QmRamps r(b);
    QmEnv env(q);
    const QmSync sync(q, b);
    const float* input = q->pfInput;
    float* output = q->pfOutput;
    const unsigned long n = b->SampleCount;
    // Recording always runs forward.
    b->fRate = 1.0f;
    double pos = loop->dCurrPos;

    for (unsigned long i = b->lSampleIndex; i < n; ++i) {
        r.step(i);
        env.loop = qmEnvStep(env.loop, env.loopD);
        sync.count(q, i);
        const uint32_t p = qmToUnsigned(pos);
        if (p == 0) sync.out[i] = 1.0f;
        const float in = qmIn(input[i]);
        *qmCell(q, loop, p) = qmStore(env.loop * in);
        pos += 1.0;
        output[i] = r.dry * in;
    }
    r.store(b);
    env.store(q);
    setRecordedLength(loop, pos);
    b->lSampleIndex = n;
    qmNoteMove(q, nullptr, 0.0f);
}

void qmHandleRecEnding(QuillomatI* q, QmBlock* b) {
    LoopChunk* loop = recordingSpace(q, b);
    if (!loop) return;

    QmRamps r(b);
    QmEnv env(q);
    const QmSync sync(q, b);
    const float* input = q->pfInput;
    float* output = q->pfOutput;
    const unsigned long n = b->SampleCount;
    b->fRate = 1.0f;
    double pos = loop->dCurrPos;

    for (unsigned long i = b->lSampleIndex; i < n; ++i) {
        r.step(i);
        env.loop = qmEnvStep(env.loop, env.loopD);
        const uint32_t p = qmToUnsigned(pos);
        const float in = qmIn(input[i]);

        const bool end = sync.off || (sync.relative ? q->lSamplesSinceSync == loop->lSyncOffset : sync.in[i] != 0.0f);
        if (end) {
            if (sync.relative) q->recSyncEnded = true;
            r.store(b);
            env.store(q);
            // The loop is p samples long before the next state takes it as
            // its source.
            setRecordedLength(loop, (double)p);
            loop->lCycles = 1;
            b->lSampleIndex = i;
            qmNoteMove(q, nullptr, 0.0f);
            q->waitingForSync = 0;
            b->loop = qmEnterNext(q, loop, q->nextState);
            return;
        }

        sync.count(q, i);
        *qmCell(q, loop, p) = qmStore(env.loop * in);
        pos += 1.0;
        output[i] = r.dry * in;
    }
    r.store(b);
    env.store(q);
    setRecordedLength(loop, pos);
    loop->lCycles = 1;
    b->lSampleIndex = n;
    qmNoteMove(q, nullptr, 0.0f);
}

void qmHandleOverdub(QuillomatI* q, QmBlock* b) {
    LoopChunk* loop = b->loop;
    if (!loop || loop->lLoopLength == 0) {
        qmDryRest(q, b);
        return;
    }
    // Entered mid-block, the begin operation has just set the direction.
    b->fRate = q->fCurrRate < 0.0f ? -1.0f : 1.0f;
    switch (q->state) {
    case STATE_REPLACE: overdubWalk<kReplace>(q, b, loop); break;
    case STATE_SUBSTITUTE: overdubWalk<kSubstitute>(q, b, loop); break;
    default: overdubWalk<kOverdub>(q, b, loop); break;
    }
}
