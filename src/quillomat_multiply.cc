// Handlers of multiply and insert: both build a chunk of whole cycles of
// their source while it is heard.
#include "quillomat_states.h"

namespace dsp = Quillomat::dsp;

namespace {

float portValue(const float* port) { return port ? *port : 0.0f; }

// Ends a multiply at once, cut to its whole cycles, whatever the round mode:
// used when the source is gone and there is nothing to run on with.
LoopChunk* cutMultiply(QuillomatI* q, const QmBlock* b, LoopChunk* loop) {
    qmCutToCycles(loop);
    q->rounding = false;
    loop = qmEnterNext(q, loop, STATE_PLAY);
    const float step = dsp::fade_step(b->xfadeSamples);
    q->fLoopFadeDelta = -step;
    q->fFeedFadeDelta = step;
    return loop;
}

// What multiply and insert share: the new chunk, its source read one cell
// further each sample, and the block's settings.
struct GrowWalk {
    QmStretch st;
    const QmSync sync;
    QmCells cells;
    const QmCells srcCells;
    LoopChunk* const src;
    const float step;
    const bool roundOff;
    const uint32_t srcLen, cycle;
    uint32_t len;
    uint32_t lp;  // the source position under st.pos

    GrowWalk(QuillomatI* q, QmBlock* b, LoopChunk* loop, double pos, uint32_t srcOffset)
        : st(q, b, loop), sync(q, b), cells(q, loop), srcCells(q, loop->srcloop), src(loop->srcloop),
          step(dsp::fade_step(b->xfadeSamples)), roundOff(portValue(q->pfRoundMode) == 0.0f),
          srcLen(src->lLoopLength), cycle(loop->lCycleLength), len(loop->lLoopLength) {
        st.pos = pos;
        // The position steps by exactly one, so the source position does too.
        lp = qmFold((double)srcOffset + pos, srcLen);
        // Multiply and insert always run forward, also when begun mid-block
        // from a reversed play.
        qmTurn(q, nullptr, 0.0, 1.0f);
        b->fRate = 1.0f;
    }

    void advance() {
        st.pos += 1.0;
        lp = lp + 1 < srcLen ? lp + 1 : 0;
    }

    // One more cycle of room, or false when the memory cannot give it.
    bool grow() {
        if (!ensureLoopSpace(st.q, st.loop, cycle, nullptr)) return false;
        st.loop->lCycles += 1;
        st.loop->lLoopLength = len += cycle;
        return true;
    }

    // Ends the stretch at sample i into the pending state.
    void finish(unsigned long i) {
        st.q->rounding = false;
        st.enter(i, st.q->nextState);
    }
};

struct MultiplyWalk : GrowWalk {
    const float safety;
    const uint32_t startAdj;

    MultiplyWalk(QuillomatI* q, QmBlock* b, LoopChunk* loop)
        : GrowWalk(q, b, loop, startAt(loop), loop->lStartAdj), safety(b->fSafetyFeedback),
          startAdj(loop->lStartAdj) {
        // The source is heard through the play fade, which falls ahead of a mute.
        st.env.playD = q->nextState == STATE_MUTE ? -step : step;
    }

    // The position may stand on the chunk's end, where the next cycle begins.
    static double startAt(const LoopChunk* loop) {
        const double pos = loop->dCurrPos;
        return pos >= 0.0 && pos <= (double)loop->lLoopLength ? pos : qmWrap(pos, loop->lLoopLength);
    }

    // Sync output: the input passed on, or the own grid (every sample, or
    // cycle starts); quantize 2 and 3 give no pulse while multiplying.
    void syncOut(unsigned long i, uint32_t s) {
        if (!sync.off) sync.rule(st.q, i, s, cycle);
        else if (sync.quant == 0.0f || (sync.quant == 1.0f && qmMultiple(s, cycle))) sync.out[i] = 1.0f;
    }

    // A waiting end is released here (by a sync point, or the chunk's end).
    void endOnWait(unsigned long i) {
        QuillomatI* q = st.q;
        st.leave(i);
        q->waitingForSync = 0;
        const int next = q->nextState < 0 ? STATE_PLAY : q->nextState;
        st.b->loop = endMultiply(q, st.loop, next);
        if (q->state != STATE_MULTIPLY) q->nextState = -1;
        sync.out[i] = sync.in[i];
    }

    // At the chunk's end: one more cycle, unless the multiply is to stop here
    // or the memory cannot give it (then the cycles so far are the loop).
    bool nextCycle() {
        LoopChunk* loop = st.loop;
        if (cycle == 0 || (int64_t)loop->mult_out == (int64_t)loop->lCycles || (uint64_t)len + 1 >= loop->lMarkEndH)
            return false;
        if (!grow()) {
            qmRefuse(st.q);
            return false;
        }
        loop->firsttime = 0;
        st.env.loopD = step;
        st.env.feedD = step;
        return true;
    }

    void sample(unsigned long i, uint32_t s) {
        QuillomatI* q = st.q;
        QmEnv& env = st.env;
        // The source is read at lp, so what it still owes there is copied
        // first. The part of the first cycle in front of the start is copied
        // in as the source passes it again: chunk position lp - startAdj.
        qmFill(q, src, lp);
        LoopChunk* loop = st.loop;
        if (loop->frontfill && lp >= startAdj && lp - startAdj >= loop->lMarkL && lp - startAdj <= loop->lMarkH)
            fillChunk(q, loop, lp - startAdj);
        const float in = dsp::finite_or_zero(q->pfInput[i]), source = *srcCells.at(lp);
        const float fb = st.fb.at((uint32_t)i);
        const float out = env.play * st.wet.at((uint32_t)i) * source + st.dry.at((uint32_t)i) * in;
        float now;
        if ((int64_t)s > (int64_t)(int32_t)loop->lMarkEndL && roundOff) {
            // Past the requested end: the input fades out, the old material stays.
            env.loopD = -step;
            now = env.feed * fb * source + env.loop * in;
        } else {
            env.feedD = step;
            now = env.loop * in + env.feed * safety * fb * source;
        }
        *cells.at(s) = dsp::mix_guard(now);
        q->pfOutput[i] = out;
    }

    void run() {
        const unsigned long n = st.b->SampleCount;
        for (unsigned long i = st.b->lSampleIndex; i < n; ++i, advance()) {
            const uint32_t s = (uint32_t)st.pos;
            st.env.step();
            syncOut(i, s);
            if (st.q->waitingForSync && (sync.off || sync.in[i] != 0.0f || s >= len)) return endOnWait(i);
            if (s >= len && !nextCycle()) {
                // Done: the cycles so far are the loop, played from its start.
                qmClearBack(st.loop);
                st.loop->lLoopLength = st.loop->lCycles * cycle;
                st.pos = 0.0;
                return finish(i);
            }
            sample(i, s);
        }
        st.leave(n);
    }
};

struct InsertWalk : GrowWalk {
    const bool quantized, wetOn;
    bool firsttime;

    InsertWalk(QuillomatI* q, QmBlock* b, LoopChunk* loop)
        : GrowWalk(q, b, loop, qmWrap(loop->dCurrPos, loop->lLoopLength), 0),
          quantized(portValue(q->pfQuantMode) != 0.0f), wetOn(q->nextState != STATE_MUTE),
          firsttime(loop->firsttime != 0) {}

    // The first cycle boundary: a quantized insert starts right here, on this
    // sample, fading in at once. Where it starts decides the remaining length
    // and the end point, so they follow it.
    void firstBoundary(uint32_t p) {
        if (!firsttime || !qmMultiple(p, cycle)) return;
        LoopChunk* loop = st.loop;
        firsttime = false;
        loop->firsttime = 0;
        if (!quantized) return;
        st.env.loopD = step;
        st.env.feedD = -step;
        st.env.playD = -step;
        loop->lInsPos = p;
        loop->lRemLen = srcLen > p ? srcLen - p : 0;
        if (st.q->rounding) loop->lMarkEndH = len - loop->lRemLen;
    }

    void sample(unsigned long i, uint32_t p, bool beforeInsert) {
        QuillomatI* q = st.q;
        QmEnv& env = st.env;
        cells.fill(p);
        qmFill(q, src, lp);
        float* cell = cells.at(p);
        const float in = dsp::finite_or_zero(q->pfInput[i]), source = *srcCells.at(lp);
        const float wet = wetOn ? st.wet.at((uint32_t)i) : 0.0f, dry = st.dry.at((uint32_t)i);
        if (beforeInsert) {
            // Until the boundary the source plays on and is copied in as it is.
            q->pfOutput[i] = env.play * wet * source + dry * in;
            *cell = source;
        } else if (p >= st.loop->lMarkEndL && roundOff) {
            // From the requested end on, without rounding: the input fades
            // out and the rest of the cycle stays silent.
            q->pfOutput[i] = dry * in;
            *cell = dsp::mix_guard(in * env.loop);
            env.loopD = -step;
        } else {
            // The inserted cells hold nothing yet: the source fades out under
            // the new material.
            q->pfOutput[i] = dry * in + env.play * wet * source;
            *cell = dsp::mix_guard(in * env.loop + env.feed * st.fb.at((uint32_t)i) * source);
            env.loopD = step;
            env.feedD = -step;
            env.playD = -step;
        }
    }

    // What follows the insert point comes back from position `from` on.
    void owesRest(uint32_t from) {
        if (from < len) qmSetBack(st.loop, from, (int64_t)len - 1);
        else qmClearBack(st.loop);
    }

    void run() {
        const unsigned long n = st.b->SampleCount;
        for (unsigned long i = st.b->lSampleIndex; i < n; ++i) {
            const uint32_t p = (uint32_t)st.pos;
            firstBoundary(p);
            const bool beforeInsert = firsttime && quantized;
            if (beforeInsert) st.env.playD = step;
            st.env.step();
            sample(i, p, beforeInsert);
            sync.rule(st.q, i, p, cycle);
            advance();

            const uint32_t ip = (uint32_t)st.pos;
            LoopChunk* loop = st.loop;
            if (ip >= loop->lMarkEndH) {
                // At the end point; this sample is done, the next state takes
                // the next one at the next position.
                owesRest(ip);
                loop->lLoopLength = loop->lCycles * cycle;
                return finish(i + 1);
            }
            const bool cycleDone =
                !beforeInsert && cycle != 0 && p % cycle == (loop->lInsPos % cycle + cycle - 1) % cycle;
            if (!cycleDone && ip < len) continue;
            // A cycle of insert is complete: make room for the next one.
            if (cycleDone && grow()) {
                st.env.loopD = step;
                st.env.feedD = -step;
                continue;
            }
            // Memory full (or no room left in the chunk): the insert ends here
            // and the rest of the source follows it.
            if (cycleDone) qmRefuse(st.q);
            loop->lEndAdj = len - srcLen;
            owesRest(ip);
            st.q->rounding = false;
            return st.enter(i + 1, STATE_PLAY);
        }
        st.leave(n);
    }
};

} // namespace

void qmHandleMultiply(QuillomatI* q, QmBlock* b) {
    LoopChunk* loop = b->loop;
    if (!loop || loop->lLoopLength == 0 || !loop->srcloop) return qmDryRest(q, b);
    if (!loop->srcloop->valid) {
        b->loop = cutMultiply(q, b, loop);
        return;
    }
    MultiplyWalk(q, b, loop).run();
}

void qmHandleInsert(QuillomatI* q, QmBlock* b) {
    LoopChunk* loop = b->loop;
    if (!loop || loop->lLoopLength == 0 || !loop->srcloop) return qmDryRest(q, b);
    InsertWalk(q, b, loop).run();
}
