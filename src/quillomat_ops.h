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

// Inclusive ranges given as signed 64-bit bounds so that "position - 1" at 0
// or "length - 1" of an empty chunk make an empty range instead of wrapping
// round to the whole memory.
static inline void qmSetFront(LoopChunk* c, int64_t lo, int64_t hi) {
    if (lo < 0) lo = 0;
    if (hi >= (int64_t)c->lLoopLength) hi = (int64_t)c->lLoopLength - 1;
    if (hi < lo) {
        qmClearFront(c);
        return;
    }
    c->frontfill = 1;
    c->lMarkL = (uint32_t)lo;
    c->lMarkH = (uint32_t)hi;
}

static inline void qmSetBack(LoopChunk* c, int64_t lo, int64_t hi) {
    if (lo < 0) lo = 0;
    if (hi >= (int64_t)c->lLoopLength) hi = (int64_t)c->lLoopLength - 1;
    if (hi < lo) {
        qmClearBack(c);
        return;
    }
    c->backfill = 1;
    c->lMarkEndL = (uint32_t)lo;
    c->lMarkEndH = (uint32_t)hi;
}

// A position carried onto a chunk of the given length: inside [0, length),
// 0 for an empty chunk.
static inline double qmWrapPos(double pos, uint32_t length) {
    if (length == 0 || !std::isfinite(pos)) return 0.0;
    double p = std::fmod(pos, (double)length);
    if (p < 0.0) p += (double)length;
    if (p >= (double)length) p = 0.0;
    return p;
}

// Where the loop starts for the current direction.
static inline double qmLoopStartPos(const QuillomatI* q, const LoopChunk* c) {
    if (q->fCurrRate > 0.0f || c->lLoopLength == 0) return 0.0;
    return (double)c->lLoopLength - 1.0;
}

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
