// Handlers of multiply and insert: both build a chunk of whole cycles of
// their source while it is heard.
#include "quillomat_states.h"

namespace {

float portValue(const float* port) { return port ? *port : 0.0f; }

// Whether the chunk growing to need samples would run into the start of its
// source, which lies just behind it on the circular memory. The source has to
// stay whole until the new chunk no longer reads from it.
bool reachesSource(const QuillomatI* q, const LoopChunk* loop, const LoopChunk* src, uint64_t need) {
    if (!src || !src->valid) return false;
    const uint32_t room = (src->lLoopStart - loop->lLoopStart) & q->lBufferSizeMask;
    return room != 0 && need > room;
}

// Ends a multiply at once, cut to its whole cycles, whatever the round mode:
// used when the source is gone and there is nothing to run on with.
LoopChunk* cutMultiply(QuillomatI* q, const QmBlock* b, LoopChunk* loop) {
    loop->lLoopLength = loop->lCycles * loop->lCycleLength;
    qmSetBack(loop, qmToUnsigned(loop->dCurrPos), (int64_t)loop->lLoopLength - 1);
    q->rounding = false;
    loop = qmEnterNext(q, loop, STATE_PLAY);
    const float step = qmFadeStep(b);
    q->fLoopFadeDelta = -step;
    q->fFeedFadeDelta = step;
    return loop;
}

} // namespace

void qmHandleMultiply(QuillomatI* q, QmBlock* b) {
    LoopChunk* loop = b->loop;
    if (!loop || loop->lLoopLength == 0 || !loop->srcloop) {
        qmDryRest(q, b);
        return;
    }
    LoopChunk* const src = loop->srcloop;
    QmRamps r(b);

    // Room for the chunk and the one cell past it that the cycle end touches.
    if (!ensureLoopSpace(q, loop, 1, nullptr)) {
        r.store(b);
        qmFallBackToPlay(q, b);
        undoLoop(q);
        b->loop = q->headLoopChunk;
        qmDryRest(q, b);
        return;
    }
    if (!src->valid) {
        r.store(b);
        b->loop = cutMultiply(q, b, loop);
        return;
    }

    // A multiply always runs forward, also when begun mid-block from a
    // reversed play.
    q->fCurrRate = 1.0f;
    b->fRate = 1.0f;

    QmEnv env(q);
    const QmSync sync(q, b);
    const float* input = q->pfInput;
    float* output = q->pfOutput;
    const unsigned long n = b->SampleCount;
    const float step = qmFadeStep(b);
    // The source is heard through the play fade, which falls ahead of a mute.
    env.playD = q->nextState == STATE_MUTE ? -step : step;
    const float safety = b->fSafetyFeedback;
    const bool roundOff = portValue(q->pfRoundMode) == 0.0f;
    const uint32_t srcLen = src->lLoopLength;
    const uint32_t cycle = loop->lCycleLength;
    const uint32_t startAdj = loop->lStartAdj;
    uint32_t len = loop->lLoopLength;
    double pos = loop->dCurrPos;
    if (!(pos >= 0.0 && pos <= (double)len)) pos = qmWrap(pos, len);
    QmCells cells(q, loop);
    const QmCells srcCells(q, src);
    // The position steps by exactly one, so the source position does too.
    uint32_t lp = qmFold((double)startAdj + pos, srcLen);

    for (unsigned long i = b->lSampleIndex; i < n; ++i, lp = lp + 1 < srcLen ? lp + 1 : 0) {
        r.step(i);
        const uint32_t s = (uint32_t)pos;
        const float* srcCell = srcCells.at(lp);
        float* cell = cells.at(s);
        env.loop = qmEnvStep(env.loop, env.loopD);
        env.feed = qmEnvStep(env.feed, env.feedD);
        env.play = qmEnvStep(env.play, env.playD);

        if (!sync.off)
            sync.rule(q, i, s, cycle);
        else if (sync.quant == 0.0f || (sync.quant == 1.0f && qmMultiple(s, cycle)))
            sync.out[i] = 1.0f;

        if (q->waitingForSync && (sync.off || sync.in[i] != 0.0f || (int64_t)s >= (int64_t)len)) {
            r.store(b);
            env.store(q);
            loop->dCurrPos = pos;
            b->lSampleIndex = i;
            q->waitingForSync = 0;
            qmNoteMove(q, loop, 1.0f);
            const int next = q->nextState < 0 ? STATE_PLAY : q->nextState;
            b->loop = endMultiply(q, loop, next);
            if (q->state != STATE_MULTIPLY) q->nextState = -1;
            sync.out[i] = sync.in[i];
            return;
        }

        // The source is read at lp, so what it still owes there is copied
        // first. The part of the first cycle in front of the start is copied
        // in as the source passes it again: chunk position lp - startAdj.
        qmFill(q, src, lp);
        if (loop->frontfill && lp >= startAdj) {
            const uint32_t y = lp - startAdj;
            if (y >= loop->lMarkL && y <= loop->lMarkH) fillChunk(q, loop, y);
        }
        const float in = qmIn(input[i]);
        const float source = *srcCell;
        const float out = env.play * r.wet * source + r.dry * in;
        float now;
        if ((int64_t)s > (int64_t)(int32_t)loop->lMarkEndL && roundOff) {
            // Past the requested end: the input fades out, the old material stays.
            env.loopD = -step;
            now = env.feed * r.fb * source + env.loop * in;
        } else {
            env.feedD = step;
            now = env.loop * in + env.feed * safety * r.fb * source;
        }
        *cell = qmStore(now);
        output[i] = out;
        pos += 1.0;

        const uint32_t ip = (uint32_t)pos;
        if (ip <= len) continue;

        const uint64_t grown = (uint64_t)len + cycle;
        if (cycle != 0 && (int64_t)loop->mult_out != (int64_t)loop->lCycles && ip < loop->lMarkEndH &&
            !reachesSource(q, loop, src, grown + 1)) {
            loop->lCycles += 1;
            loop->lLoopLength = len = (uint32_t)grown;
            loop->firsttime = 0;
            env.loopD = step;
            env.feedD = step;
            if (ensureLoopSpace(q, loop, 1, nullptr)) continue;
            // No room for another cycle: the whole multiply is dropped, and
            // this sample plays again from the source at the same place.
            r.store(b);
            env.store(q);
            loop->dCurrPos = pos - 1.0;
            b->lSampleIndex = i;
            qmFallBackToPlay(q, b);
            undoLoop(q);
            b->loop = q->headLoopChunk;
            return;
        }

        // Done: the cycles so far are the loop (also when another cycle would
        // overwrite the source still being played).
        loop->lMarkEndH = QM_EMPTY_MARK;
        loop->backfill = 0;
        loop->dCurrPos = 0.0;
        loop->lLoopLength = loop->lCycles * loop->lCycleLength;
        q->rounding = false;
        r.store(b);
        env.store(q);
        b->lSampleIndex = i;
        qmNoteMove(q, loop, 1.0f);
        b->loop = qmEnterNext(q, loop, q->nextState);
        return;
    }
    r.store(b);
    env.store(q);
    loop->dCurrPos = pos;
    b->lSampleIndex = n;
    qmNoteMove(q, loop, 1.0f);
}

void qmHandleInsert(QuillomatI* q, QmBlock* b) {
    LoopChunk* loop = b->loop;
    if (!loop || loop->lLoopLength == 0 || !loop->srcloop) {
        qmDryRest(q, b);
        return;
    }
    LoopChunk* const src = loop->srcloop;
    QmRamps r(b);
    if (q->nextState == STATE_MUTE) r.silenceWet();
    q->fCurrRate = 1.0f;
    b->fRate = 1.0f;

    QmEnv env(q);
    const QmSync sync(q, b);
    const float* input = q->pfInput;
    float* output = q->pfOutput;
    const unsigned long n = b->SampleCount;
    const float step = qmFadeStep(b);
    const bool quantized = portValue(q->pfQuantMode) != 0.0f;
    const bool roundOff = portValue(q->pfRoundMode) == 0.0f;
    const uint32_t srcLen = src->lLoopLength;
    const uint32_t cycle = loop->lCycleLength;
    bool firsttime = loop->firsttime != 0;
    uint32_t len = loop->lLoopLength;
    double pos = loop->dCurrPos;
    if (!(pos >= 0.0 && pos < (double)len)) pos = qmWrap(pos, len);
    QmCells cells(q, loop);
    const QmCells srcCells(q, src);
    // The position steps by exactly one, so the source position does too.
    uint32_t lp = qmFold(pos, srcLen);

    for (unsigned long i = b->lSampleIndex; i < n; ++i, lp = lp + 1 < srcLen ? lp + 1 : 0) {
        const uint32_t p = (uint32_t)pos;

        // The first cycle boundary: a quantized insert starts right here, on
        // this sample, fading in at once. Where it starts decides the
        // remaining length and the end point, so they follow it.
        if (firsttime && qmMultiple(p, cycle)) {
            firsttime = false;
            loop->firsttime = 0;
            if (quantized) {
                env.loopD = step;
                env.feedD = -step;
                env.playD = -step;
                loop->lInsPos = p;
                loop->lRemLen = srcLen > p ? srcLen - p : 0;
                if (q->rounding) loop->lMarkEndH = len - loop->lRemLen;
            }
        }
        // Until then the source plays on and is copied in as it is.
        const bool beforeInsert = firsttime && quantized;
        if (beforeInsert) env.playD = step;

        r.step(i);
        env.play = qmEnvStep(env.play, env.playD);
        env.loop = qmEnvStep(env.loop, env.loopD);
        env.feed = qmEnvStep(env.feed, env.feedD);

        const float* srcCell = srcCells.at(lp);
        float* cell = cells.at(p);
        cells.fill(p);
        qmFill(q, src, lp);
        const float in = qmIn(input[i]);
        const float source = *srcCell;

        if (beforeInsert) {
            output[i] = env.play * r.wet * source + r.dry * in;
            *cell = source;
        } else if (p >= loop->lMarkEndL && roundOff) {
            // From the requested end on, without rounding: the input fades
            // out and the rest of the cycle stays silent.
            output[i] = r.dry * in;
            *cell = qmStore(in * env.loop);
            env.loopD = -step;
        } else {
            // The inserted cells hold nothing yet: the source fades out under
            // the new material.
            output[i] = r.dry * in + env.play * r.wet * source;
            *cell = qmStore(in * env.loop + env.feed * r.fb * source);
            env.loopD = step;
            env.feedD = -step;
            env.playD = -step;
        }
        sync.rule(q, i, p, cycle);
        pos += 1.0;

        const uint32_t ip = (uint32_t)pos;
        if (ip >= loop->lMarkEndH) {
            if (ip < len) {
                loop->lMarkEndL = ip;
                loop->lMarkEndH = len - 1;
                loop->backfill = 1;
            } else {
                loop->lMarkEndL = loop->lMarkEndH = QM_EMPTY_MARK;
            }
            q->rounding = false;
            loop->lLoopLength = loop->lCycles * loop->lCycleLength;
            // This sample is done; the next state takes the next one, at the
            // next position.
            r.store(b);
            env.store(q);
            loop->dCurrPos = pos;
            b->lSampleIndex = i + 1;
            qmNoteMove(q, loop, 1.0f);
            b->loop = qmEnterNext(q, loop, q->nextState);
            return;
        }

        const bool cycleDone =
            !beforeInsert && cycle != 0 && p % cycle == (loop->lInsPos % cycle + cycle - 1) % cycle;
        if (!cycleDone && ip < len) continue;

        // A cycle of insert is complete: make room for the next one.
        const uint64_t grown = (uint64_t)len + cycle;
        if (cycleDone && !reachesSource(q, loop, src, grown) && ensureLoopSpace(q, loop, cycle, nullptr)) {
            loop->lCycles += 1;
            loop->lLoopLength = len = (uint32_t)grown;
            env.loopD = step;
            env.feedD = -step;
            continue;
        }
        // Memory full (or no room left in the chunk): the insert ends here
        // and the rest of the source follows it.
        loop->lEndAdj = len - srcLen;
        if (ip < len) {
            loop->lMarkEndL = ip;
            loop->lMarkEndH = len - 1;
            loop->backfill = 1;
        }
        q->rounding = false;
        r.store(b);
        env.store(q);
        loop->dCurrPos = pos;
        b->lSampleIndex = i + 1;
        qmNoteMove(q, loop, 1.0f);
        b->loop = qmEnterNext(q, loop, STATE_PLAY);
        return;
    }
    r.store(b);
    env.store(q);
    loop->dCurrPos = pos;
    b->lSampleIndex = n;
    qmNoteMove(q, loop, 1.0f);
}
