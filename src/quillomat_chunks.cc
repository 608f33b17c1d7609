// The operations that turn the current chunk into a new version (overdub,
// replace, substitute, multiply, insert), end multiply and insert, enter a
// deferred next state, and turn the direction of play.
//
// A new version normally goes beside its source, which stays in the history
// for undo. When the memory has no room for that, the older versions give
// way instead: an overdub works on the loop in place, a multiply is laid over
// it in step, an insert runs on round over it. Only what cannot fit the
// memory at all is refused, and counted (qm_memory_refusals).
#include "quillomat_internal.h"

namespace {

// The position a new version starts from: inside the source loop. A source
// still standing at its end (a recording that just stopped) starts over at 0,
// where its playback goes on.
double startPos(const LoopChunk* s) { return qmWrap(s->dCurrPos, s->lLoopLength); }

// A new version is only ever made from the current one, which is the one the
// history links it to.
bool isHead(const QuillomatI* q, const LoopChunk* loop) { return loop && loop == q->headLoopChunk; }

uint32_t endOf(const QuillomatI* q, const LoopChunk* c) { return (c->lLoopStart + c->lLoopLength) & q->lBufferSizeMask; }

// What every new version c starts with: made from s, the old head, standing at
// pos, with nothing pending, and the feedback in force when it began.
void startVersion(QuillomatI* q, LoopChunk* c, LoopChunk* s, double pos) {
    c->srcloop = s;
    c->fromLoop = 1;
    c->lCycleLength = s->lCycleLength;
    c->lStartAdj = 0;
    c->lEndAdj = 0;
    c->dCurrPos = pos;
    c->dOrigFeedback = qmFeedbackNow(q);
}

// Copy-on-play of what lies in front of where a multiply or insert starts:
// chunk positions 0 .. frontEnd (none when it starts at 0); none behind it.
void fillInFront(LoopChunk* c, int64_t frontEnd) {
    if (c->dCurrPos > 0.0 && frontEnd >= 0) {
        c->frontfill = 1;
        c->lMarkL = 0;
        c->lMarkH = (uint32_t)frontEnd;
    } else {
        qmClearFront(c);
    }
    qmClearBack(c);
}

// No room beside the loop: the loop itself takes the overdub. Only the
// version it was is given up; older ones stay, and so does what the loop
// still copies from them. The redo side goes, as with any new version.
LoopChunk* overdubInPlace(QuillomatI* q, LoopChunk* loop, double pos) {
    loop->next = nullptr;
    loop->fromLoop = 1;
    loop->dCurrPos = pos;
    loop->dOrigFeedback = qmFeedbackNow(q);
    return loop;
}

// Where a multiply's chunk goes. Beside the loop it can grow until it reaches
// the loop (or what the loop still copies from). Over the loop, each source
// cell written just after it is read, it can grow to the end of the loop's
// last cycle, but the loop leaves the history; so over it only when that
// gives more cycles, and only for a loop that copies from nothing any more.
LoopChunk* layMultiply(QuillomatI* q, LoopChunk* s, uint32_t startAdj) {
    const uint32_t cycle = s->lCycleLength;
    const uint32_t beside = qmRoomAt(q, endOf(q, s), s) / cycle;
    const uint32_t over = qmOwesCopies(s) || startAdj >= s->lLoopLength ? 0 : (s->lLoopLength - startAdj) / cycle;
    if (over > beside) {
        LoopChunk* c = qmLayOver(q, s, (s->lLoopStart + startAdj) & q->lBufferSizeMask, cycle, QM_IN_STEP);
        c->lMaxLength = over * cycle;
        return c;
    }
    return beside > 0 ? pushNewLoopChunk(q, cycle, s) : nullptr;
}

// Where an insert's chunk goes: beside the loop, or else from the loop's end
// on round over its start (QM_RELAY). The part in front of the insert point
// is then copied into the memory the loop leaves free, so the point must lie
// within it; and the loop must copy from nothing any more.
LoopChunk* layInsert(QuillomatI* q, LoopChunk* s, uint32_t claim, uint32_t insertAt) {
    if (LoopChunk* c = pushNewLoopChunk(q, claim, s)) return c;
    if (qmOwesCopies(s) || insertAt > q->lBufferSize - s->lLoopLength) return nullptr;
    return qmLayOver(q, s, endOf(q, s), claim, QM_RELAY);
}

}  // namespace

LoopChunk* beginOverdub(QuillomatI* q, LoopChunk* loop) {
    if (!isHead(q, loop)) return nullptr;
    const double pos = startPos(loop);
    LoopChunk* c = pushNewLoopChunk(q, loop->lLoopLength, loop);
    q->state = STATE_OVERDUB;
    // The old content is kept and heard while overdubbing: after a replace
    // it fades back in, from a mute it is heard again.
    qmOverdubFades(q, qmFadeStep(q));
    q->nextState = -1;
    q->waitingForSync = 0;
    const bool backwards = q->fCurrRate < 0.0f;
    q->fCurrRate = backwards ? -1.0f : 1.0f;
    if (!c) return overdubInPlace(q, loop, pos);

    LoopChunk* s = loop;  // the old head, now c->prev
    startVersion(q, c, s, pos);
    c->lCycles = s->lCycles;
    c->lLoopLength = s->lLoopLength;

    // The range already passed in this pass is filled when playback comes
    // round to it again; the range ahead is filled as it is reached.
    const int64_t p = (int64_t)qmToUnsigned(pos);
    const int64_t last = (int64_t)c->lLoopLength - 1;
    if (backwards) {
        qmSetFront(c, p + 1, last);
        qmSetBack(c, 0, p);
    } else {
        qmSetFront(c, 0, p - 1);
        qmSetBack(c, p, last);
    }
    return c;
}

LoopChunk* beginReplace(QuillomatI* q, LoopChunk* loop) {
    LoopChunk* c = beginOverdub(q, loop);
    if (c) {
        const float step = qmFadeStep(q);
        q->state = STATE_REPLACE;
        q->fPlayFadeDelta = -step;
        q->fFeedFadeDelta = -step;
    }
    return c;
}

LoopChunk* beginSubstitute(QuillomatI* q, LoopChunk* loop) {
    LoopChunk* c = beginOverdub(q, loop);
    if (c) {
        q->state = STATE_SUBSTITUTE;
        q->fFeedFadeDelta = -qmFadeStep(q);
    }
    return c;
}

LoopChunk* beginMultiply(QuillomatI* q, LoopChunk* loop) {
    if (!isHead(q, loop)) return nullptr;
    const float step = qmFadeStep(q);
    if ((uint32_t)loop->mult_out == loop->lCycles && loop->backfill && loop->lCycleLength > 0 &&
        loop->overSource != QM_IN_STEP) {
        // A multiply that was being ended and is still completing goes on.
        // (One laid over its source does not: the source past its end may
        // have been written over since.)
        // It runs on to its new end, so it reports waiting, as a rounding
        // end does.
        loop->mult_out += 1;
        q->state = STATE_MULTIPLY;
        qmOverdubFades(q, step);
        q->nextState = STATE_PLAY;
        q->waitingForSync = 0;
        q->rounding = true;
        return loop;
    }
    // Without a cycle there is nothing to repeat.
    if (loop->lCycleLength == 0) return nullptr;

    LoopChunk* s = loop;
    const double spos = startPos(s);
    uint32_t startAdj = 0;
    bool quantCycle = false;
    if (s->lCycles > 1) {
        // Start from the beginning of the cycle the position is in.
        const float cycle = std::floor(std::fabs((float)(spos / (double)s->lCycleLength)));
        startAdj = qmToUnsigned((double)cycle * (double)s->lCycleLength);
        quantCycle = qmQuantizeNow(q) == 1.0f;
    }
    LoopChunk* c = layMultiply(q, s, startAdj);
    if (!c) {
        qmRefuse(q);
        return nullptr;
    }
    q->state = STATE_MULTIPLY;
    qmOverdubFades(q, step);  // the source is heard: from a mute it fades in
    q->nextState = -1;
    q->waitingForSync = 0;

    startVersion(q, c, s, spos);
    c->lLoopLength = s->lCycleLength;
    c->lCycles = 1;
    c->firsttime = 1;
    c->lStartAdj = startAdj;
    c->dCurrPos = spos > (double)startAdj ? spos - (double)startAdj : 0.0;
    q->fCurrRate = 1.0f;
    // The part of the cycle in front of the start, in the chunk's own
    // positions (copy-on-play adds lStartAdj to reach the source); none when
    // a quantized multiply starts on the cycle.
    fillInFront(c, quantCycle ? -1 : (int64_t)qmToUnsigned(c->dCurrPos) - 1);
    return c;
}

LoopChunk* endMultiply(QuillomatI* q, LoopChunk* loop, int next) {
    if (!loop) return nullptr;
    const float step = qmFadeStep(q);
    const LoopChunk* s = loop->srcloop;
    if (qmQuantizeNow(q) != 0.0f && s && s->lCycles >= 2 && loop->lCycles == 0) {
        q->state = (next < 0 || next == STATE_TRIGGER_PLAY) ? STATE_PLAY : next;
        loop->backfill = 0;
        loop->lLoopLength = 0;
        return loop;
    }
    if (qmRoundNow(q) == 0.0f) {
        qmCutToCycles(loop);
        loop = transitionToNext(q, loop, next);
        // Stop writing, unless the next state writes a new version of its own.
        if (!qmWritesLoop(q->state)) {
            q->fLoopFadeDelta = -step;
            q->fFeedFadeDelta = step;
        }
    } else {
        // Run on to the end of the current cycle.
        loop->lMarkEndL = qmToUnsigned(loop->dCurrPos);
        loop->lMarkEndH = loop->lLoopLength > 0 ? loop->lLoopLength - 1 : 0;
        q->nextState = next;
        q->rounding = true;
    }
    return loop;
}

LoopChunk* beginInsert(QuillomatI* q, LoopChunk* loop) {
    if (!isHead(q, loop) || loop->lCycleLength == 0) return nullptr;
    LoopChunk* s = loop;
    const float quant = qmQuantizeNow(q);
    const double spos = startPos(s);
    uint32_t insPos = qmToUnsigned(spos);
    if (quant == 1.0f) {
        // The next cycle boundary.
        const double cycles = std::floor(std::fabs(spos - 1.0) / (double)s->lCycleLength) + 1.0;
        insPos = qmToUnsigned(cycles * (double)s->lCycleLength);
    }
    const uint64_t grown = (uint64_t)s->lLoopLength + s->lCycleLength;
    LoopChunk* c = grown <= q->lBufferSize ? layInsert(q, s, (uint32_t)grown, insPos) : nullptr;
    if (!c) {
        qmRefuse(q);
        return nullptr;
    }
    const float step = qmFadeStep(q);
    q->state = STATE_INSERT;
    if (quant == 0.0f) {
        q->fLoopFadeDelta = step;
        q->fFeedFadeDelta = -step;
    }
    q->fPlayFadeDelta = -step;
    q->nextState = -1;
    q->waitingForSync = 0;

    startVersion(q, c, s, spos);
    c->lLoopLength = (uint32_t)grown;
    c->lCycles = s->lCycles + 1;
    c->firsttime = 1;
    c->lInsPos = insPos;
    q->fCurrRate = 1.0f;
    if (qmRoundNow(q) == 0.0f) c->lRemLen = qmToUnsigned((double)s->lLoopLength - c->dCurrPos);
    else c->lRemLen = s->lLoopLength > c->lInsPos ? s->lLoopLength - c->lInsPos : 0;
    fillInFront(c, (int64_t)qmToUnsigned(spos) - 1);
    return c;
}

LoopChunk* endInsert(QuillomatI* q, LoopChunk* loop, int next) {
    if (!loop) return nullptr;
    const LoopChunk* s = loop->srcloop;
    const uint32_t srcLen = s ? s->lLoopLength : 0;
    loop->lEndAdj = loop->lLoopLength > srcLen ? loop->lLoopLength - srcLen : 0;
    const uint32_t p = qmToUnsigned(loop->dCurrPos);
    const uint32_t end = loop->lLoopLength > loop->lRemLen ? loop->lLoopLength - loop->lRemLen : 0;
    loop->lMarkEndL = p;
    loop->lMarkEndH = end;
    q->nextState = next;
    if (qmRoundNow(q) == 0.0f) {
        const float step = qmFadeStep(q);
        q->fLoopFadeDelta = -step;
        q->fPlayFadeDelta = step;
    }
    q->rounding = true;
    return loop;
}

LoopChunk* transitionToNext(QuillomatI* q, LoopChunk* loop, int next) {
    const float step = qmFadeStep(q);
    // Whatever was pending is being entered now.
    q->nextState = -1;
    q->waitingForSync = 0;
    q->rounding = false;
    LoopChunk* result = loop;
    switch (next) {
    case STATE_PLAY:
        qmPlayFades(q, step);
        q->wasMuted = false;
        break;
    case STATE_OVERDUB:
    case STATE_REPLACE:
    case STATE_SUBSTITUTE:
    case STATE_MULTIPLY:
    case STATE_INSERT:
        if (next == STATE_OVERDUB) result = beginOverdub(q, loop);
        else if (next == STATE_REPLACE) result = beginReplace(q, loop);
        else if (next == STATE_SUBSTITUTE) result = beginSubstitute(q, loop);
        else if (next == STATE_MULTIPLY) result = beginMultiply(q, loop);
        else result = beginInsert(q, loop);
        if (!result) {
            // No room for a new version: keep playing the loop untouched
            // rather than write into it with nothing to undo to.
            result = q->headLoopChunk;
            next = -1;
            qmPlayFades(q, step);
        }
        break;
    case STATE_MUTE:
        qmMuteFades(q, step);
        q->wasMuted = true;
        break;
    case STATE_ONESHOT:
        qmPlayFades(q, step);
        if (loop) {
            q->state = STATE_ONESHOT;
            qmRestart(q, loop);
        } else {
            next = -1;
        }
        break;
    case STATE_TRIGGER_PLAY:
        qmPlayFades(q, step);
        next = STATE_PLAY;
        q->wasMuted = false;
        if (loop) qmRestart(q, loop);
        break;
    default:
        break;
    }
    // Only a state the walk can run is entered.
    const bool runnable = next >= STATE_REC_WAIT && next <= STATE_SUBSTITUTE;
    if (!runnable) next = -1;
    if (next == -1) {
        q->state = STATE_PLAY;
        q->wasMuted = false;
    } else {
        q->state = next;
    }
    return result;
}

double qmTurn(QuillomatI* q, LoopChunk* loop, double pos, float rate) {
    const float old = q->fCurrRate;
    q->fCurrRate = rate;
    if (!loop || loop->lLoopLength == 0 || (old < 0.0f) == (rate < 0.0f)) return pos;
    const uint32_t len = loop->lLoopLength;
    // Copy-on-play ranges never hold a sample already copied, so only the
    // position needs turning: on from the neighbour of the sample just played.
    const double last = std::floor(qmWrap(pos - old, len));
    return qmWrap(last + (pos - std::floor(pos)) + rate, len);
}

void qmReverseNow(QuillomatI* q, float rate) {
    LoopChunk* h = q->headLoopChunk;
    switch (q->state) {
    case STATE_PLAY:
    case STATE_MUTE:
    case STATE_ONESHOT:
    case STATE_OVERDUB:
    case STATE_REPLACE:
    case STATE_SUBSTITUTE:
        if (h) {
            h->dCurrPos = qmTurn(q, h, h->dCurrPos, rate);
            return;
        }
        break;
    default:
        break;
    }
    qmTurn(q, nullptr, 0.0, rate);
}
