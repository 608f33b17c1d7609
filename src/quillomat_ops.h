#pragma once
// Small helpers shared by the history, chunk operations and command handling
// of the loop processor. Audio-thread code: no allocation, no system calls.
#include "quillomat.h"

#include <cmath>

// Envelope step for the current "Fade samples": +1/N (fade in).
static inline float qmFadeStep(const QuillomatI* q) { return 1.0f / (float)qmFadeSamples(q); }

static inline void qmClearFront(LoopChunk* c) {
    c->frontfill = 0;
    c->lMarkL = c->lMarkH = QM_EMPTY_MARK;
}

static inline void qmClearBack(LoopChunk* c) {
    c->backfill = 0;
    c->lMarkEndL = c->lMarkEndH = QM_EMPTY_MARK;
}

// A copy-on-play range (its flag and inclusive marks) set to [lo, hi] cut to
// the chunk, or cleared when nothing of it is left. The bounds are signed
// 64-bit so that "position - 1" at 0 or "length - 1" of an empty chunk make
// an empty range instead of wrapping round to the whole memory.
static inline void qmSetRange(const LoopChunk* c, int& fill, uint32_t& markL, uint32_t& markH, int64_t lo,
                              int64_t hi) {
    if (lo < 0) lo = 0;
    if (hi >= (int64_t)c->lLoopLength) hi = (int64_t)c->lLoopLength - 1;
    if (hi < lo) {
        fill = 0;
        markL = markH = QM_EMPTY_MARK;
        return;
    }
    fill = 1;
    markL = (uint32_t)lo;
    markH = (uint32_t)hi;
}

static inline void qmSetFront(LoopChunk* c, int64_t lo, int64_t hi) {
    qmSetRange(c, c->frontfill, c->lMarkL, c->lMarkH, lo, hi);
}

static inline void qmSetBack(LoopChunk* c, int64_t lo, int64_t hi) {
    qmSetRange(c, c->backfill, c->lMarkEndL, c->lMarkEndH, lo, hi);
}

// Where the three envelopes head, each stepping by +step (in) or -step (out).
// Play: the loop is heard and kept, and no more input goes into it.
static inline void qmPlayFades(QuillomatI* q, float step) {
    q->fLoopFadeDelta = -step;
    q->fPlayFadeDelta = step;
    q->fFeedFadeDelta = step;
}

// Mute: as play, but what is heard fades out.
static inline void qmMuteFades(QuillomatI* q, float step) {
    q->fLoopFadeDelta = -step;
    q->fPlayFadeDelta = -step;
    q->fFeedFadeDelta = step;
}

// Overdub: the input goes into the loop, which is kept and heard.
static inline void qmOverdubFades(QuillomatI* q, float step) {
    q->fLoopFadeDelta = step;
    q->fPlayFadeDelta = step;
    q->fFeedFadeDelta = step;
}

// pos brought into [0, len): 0 for an empty chunk or a position that is not
// finite.
static inline double qmWrap(double pos, uint32_t len) {
    if (pos >= 0.0 && pos < (double)len) return pos;
    if (len == 0 || !std::isfinite(pos)) return 0.0;
    pos = std::fmod(pos, (double)len);
    if (pos < 0.0) pos += (double)len;
    return pos < (double)len ? pos : 0.0;
}

// Where the loop starts for the current direction.
static inline double qmLoopStartPos(const QuillomatI* q, const LoopChunk* c) {
    if (q->fCurrRate > 0.0f || c->lLoopLength == 0) return 0.0;
    return (double)c->lLoopLength - 1.0;
}

// The states that write their input into a version begun for them.
static inline bool qmWritesLoop(int state) {
    return state == STATE_OVERDUB || state == STATE_REPLACE || state == STATE_SUBSTITUTE || state == STATE_MULTIPLY ||
           state == STATE_INSERT;
}

// Another version comes to the front (undo, redo, a new recording): the
// crossfade of what was being written belonged to the one before, so none of
// it is written into this one. No input goes in and the content stays whole;
// what is heard (the play fade) goes on as it was.
static inline void qmCloseWrites(QuillomatI* q) {
    q->fLoopFadeAtten = 0.0f;
    q->fFeedFadeAtten = 1.0f;
}

// Puts the play position of a loop where a command sends it. The position
// is meant for the direction now in force, so the walk must not turn it round
// for a reverse given since the loop last moved.
static inline void qmPlaceAt(QuillomatI* q, LoopChunk* c, double pos) {
    c->dCurrPos = pos;
    if (q->pMovedChunk == c) q->pMovedChunk = nullptr;
}

// Restart: the loop's start for the current direction.
static inline void qmRestart(QuillomatI* q, LoopChunk* c) { qmPlaceAt(q, c, qmLoopStartPos(q, c)); }

static inline float qmFeedbackNow(const QuillomatI* q) {
    return qmClamp01(q->pfFeedback ? *q->pfFeedback : q->fFeedbackCurr);
}

static inline float qmQuantizeNow(const QuillomatI* q) {
    const float v = q->pfQuantMode ? *q->pfQuantMode : q->fQuantizeMode;
    return v == v ? v : 0.0f;
}

static inline float qmRoundNow(const QuillomatI* q) {
    const float v = q->pfRoundMode ? *q->pfRoundMode : q->fRoundMode;
    return v == v ? v : 0.0f;
}

// Keeps what the status outputs report true: a wait only where a sync point
// can release it, a rounding end only in a running multiply or insert, and a
// next state only while something will enter it.
static inline void qmSettlePending(QuillomatI* q) {
    bool canWait = false;
    switch (q->state) {
    case STATE_REC_ENDING:
    case STATE_PLAY:
    case STATE_MUTE:
    case STATE_SCRATCH:
    case STATE_ONESHOT:
    case STATE_OVERDUB:
    case STATE_REPLACE:
    case STATE_SUBSTITUTE:
    case STATE_MULTIPLY:
        canWait = q->headLoopChunk != nullptr;
        break;
    default:
        break;
    }
    if (!canWait) q->waitingForSync = 0;
    if (q->state != STATE_MULTIPLY && q->state != STATE_INSERT) q->rounding = false;
    if (!q->waitingForSync && !q->rounding && q->state != STATE_REC_ENDING && q->state != STATE_MULTIPLY)
        q->nextState = -1;
}
