#pragma once
// The state handlers of the sample walk and the small pieces they share.
// Private to the loop processor: quillomat_walk.cc dispatches, the handlers
// live in quillomat_record.cc, quillomat_play.cc and quillomat_multiply.cc.
//
// A handler processes samples from b->lSampleIndex on and returns either at
// the end of the block or where it changed the state or the chunk, leaving
// lSampleIndex on the first sample the next handler is to take (the same
// sample again when the change came before the sample was done).
#include "quillomat.h"
#include "quillomat_ops.h"
#include "utils.h"

#include <cmath>
#include <cstdint>

void qmHandleRecWait(QuillomatI* q, QmBlock* b);
void qmHandleRecord(QuillomatI* q, QmBlock* b);
void qmHandleRecEnding(QuillomatI* q, QmBlock* b);
void qmHandleOverdub(QuillomatI* q, QmBlock* b);  // OVERDUB, REPLACE, SUBSTITUTE
void qmHandleMultiply(QuillomatI* q, QmBlock* b);
void qmHandleInsert(QuillomatI* q, QmBlock* b);
void qmHandlePlay(QuillomatI* q, QmBlock* b);  // PLAY, MUTE, SCRATCH, ONESHOT
void qmHandleDelay(QuillomatI* q, QmBlock* b);

// Input through at the dry level for the rest of the block.
void qmDryRest(QuillomatI* q, QmBlock* b);
// The same for one sample only; the walk's way out when no handler moves on.
void qmDrySample(QuillomatI* q, QmBlock* b);

// Enters a pending state and retires it: nextState no longer pending. "No
// next state" means plain play, with play's fades (transitionToNext alone
// would leave the loop fade open and keep writing the input into the loop).
LoopChunk* qmEnterNext(QuillomatI* q, LoopChunk* loop, int next);

// The direction changes at the sample just played (pos - oldRate): returns
// the position of its neighbour the other way. Ranges still to be copied no
// longer count that sample, so copy-on-play, which fills in the direction of
// play, goes on from where it stands and never copies over it again.
double qmTurnRound(QuillomatI* q, LoopChunk* loop, double pos, float oldRate, float newRate);

// At a handler's entry: the direction changed since this chunk last moved.
static inline double qmTurnIfReversed(QuillomatI* q, LoopChunk* loop, double pos, float rate) {
    const float moved = q->fMovedRate;
    if (q->pMovedChunk != loop || moved == 0.0f || rate == 0.0f || (moved < 0.0f) == (rate < 0.0f)) return pos;
    return qmTurnRound(q, loop, pos, moved, rate);
}

static inline void qmNoteMove(QuillomatI* q, LoopChunk* loop, float rate) {
    q->pMovedChunk = loop;
    q->fMovedRate = rate;
}

// Falls back to plain play after running out of memory, with the fades of
// play so nothing more is written into the loop.
void qmFallBackToPlay(QuillomatI* q, const QmBlock* b);

// ---------------------------------------------------------------------------

// Envelope step, kept exactly within 0..1.
static inline float qmEnvStep(float atten, float delta) {
    atten += delta;
    return atten < 0.0f ? 0.0f : (atten > 1.0f ? 1.0f : atten);
}

static inline float qmFadeStep(const QmBlock* b) { return 1.0f / (float)(b->xfadeSamples ? b->xfadeSamples : 1u); }

// Integer position of pos in a chunk of len samples (fmod, truncated).
static inline uint32_t qmFold(double pos, uint32_t len) {
    if (pos >= 0.0 && pos < (double)len) return (uint32_t)pos;
    if (len == 0) return 0;
    return qmToUnsigned(std::fmod(pos, (double)len));
}

// An input sample that is not finite counts as silence: it must not reach
// the loop memory, where it would stay.
static inline float qmIn(float v) { return std::isfinite(v) ? v : 0.0f; }

// What goes into the loop memory: denormals flushed, and nothing that is not
// finite, which would otherwise play on every pass from then on (an infinite
// input sample times a closed loop fade is NaN even in plain play).
static inline float qmStore(float v) { return std::isfinite(v) ? Quillomat::flush_to_zero(v) : 0.0f; }

// "p is a multiple of d"; only 0 is a multiple of 0.
static inline bool qmMultiple(uint32_t p, uint32_t d) { return d ? p % d == 0 : p == 0; }

static inline void qmCountUp(uint32_t& n) {
    if (n != 0xffffffffu) ++n;
}

// The block's ramps, held in locals while a handler runs. Stepped before
// each sample; on the block's last sample they stand exactly on their targets
// (the steps alone could miss them by a rounding error).
struct QmRamps {
    float wet, wetD, wetT;
    float dry, dryD, dryT;
    float fb, fbD, fbT;
    float sc, scD, scT;
    unsigned long last;

    explicit QmRamps(const QmBlock* b)
        : wet(b->fWet), wetD(b->wetDelta), wetT(b->wetTarget), dry(b->fDry), dryD(b->dryDelta),
          dryT(b->dryTarget), fb(b->fFeedback), fbD(b->feedbackDelta), fbT(b->feedbackTarget),
          sc(b->fScratchPos), scD(b->scratchDelta), scT(b->scratchTarget), last(b->SampleCount - 1) {}

    void step(unsigned long i) {
        if (i == last) {
            wet = wetT;
            dry = dryT;
            fb = fbT;
            sc = scT;
            return;
        }
        wet = qmRamp(wet, wetD, wetT);
        dry = qmRamp(dry, dryD, dryT);
        fb = qmRamp(fb, fbD, fbT);
        sc = qmRamp(sc, scD, scT);
    }

    // The wet level held at 0 for the rest of the block.
    void silenceWet() {
        wet = 0.0f;
        wetD = 0.0f;
        wetT = 0.0f;
    }

    void store(QmBlock* b) const {
        b->fWet = wet;
        b->wetDelta = wetD;
        b->wetTarget = wetT;
        b->fDry = dry;
        b->fFeedback = fb;
        b->fScratchPos = sc;
    }
};

// The three fade envelopes, held in locals while a handler runs. Store them
// before calling anything that sets a fade step.
struct QmEnv {
    float loop, loopD, play, playD, feed, feedD;

    explicit QmEnv(const QuillomatI* q)
        : loop(q->fLoopFadeAtten), loopD(q->fLoopFadeDelta), play(q->fPlayFadeAtten),
          playD(q->fPlayFadeDelta), feed(q->fFeedFadeAtten), feedD(q->fFeedFadeDelta) {}

    void store(QuillomatI* q) const {
        q->fLoopFadeAtten = loop;
        q->fLoopFadeDelta = loopD;
        q->fPlayFadeAtten = play;
        q->fPlayFadeDelta = playD;
        q->fFeedFadeAtten = feed;
        q->fFeedFadeDelta = feedD;
    }
};

// Sync values of the block, read once per handler.
struct QmSync {
    const float* in;
    float* out;
    bool off;       // sync mode 0
    bool relative;  // sync mode 2
    float quant;
    uint32_t eighth;

    QmSync(const QuillomatI* q, const QmBlock* b)
        : in(q->pfSyncInput), out(q->pfSyncOutput), off(b->fSyncMode == 0.0f), relative(b->fSyncMode == 2.0f),
          quant(b->fQuantizeMode), eighth(b->eighthSamples) {}

    // Samples since the last sync point, for relative sync.
    void count(QuillomatI* q, unsigned long i) const {
        if (!relative) return;
        qmCountUp(q->lSamplesSinceSync);
        if (in[i] != 0.0f) q->lSamplesSinceSync = 0;
    }

    // Passes the sync input on, or marks the own quantize grid at position p.
    void rule(QuillomatI* q, unsigned long i, uint32_t p, uint32_t cycle) const {
        if (!off) {
            const float s = in[i];
            out[i] = s;
            if (relative) {
                qmCountUp(q->lSamplesSinceSync);
                if (s != 0.0f) {
                    q->lSamplesSinceSync = 0;
                } else if (q->recSyncEnded) {
                    out[i] = 1.0f;
                    q->recSyncEnded = false;
                }
            }
        } else if (quant == 0.0f || (quant == 1.0f && qmMultiple(p, cycle)) || (quant == 3.0f && p == 0) ||
                   (quant == 2.0f && qmMultiple(p, eighth))) {
            out[i] = 1.0f;
        }
    }

    // A waiting command is released here: the own grid's pulse (sync off) or
    // any pulse on the sync input.
    bool point(unsigned long i) const { return (off && out[i] != 0.0f) || in[i] != 0.0f; }
};

// Copy-on-play at p, skipped when nothing of this chunk is pending.
static inline void qmFill(QuillomatI* q, LoopChunk* loop, uint32_t p) {
    if (loop->frontfill || loop->backfill) fillLoops(q, loop, p);
}

// The memory cells of one chunk, with copy-on-play, for a handler's loop:
// the addressing fields and the pending flag are held in locals.
struct QmCells {
    QuillomatI* q;
    LoopChunk* loop;
    float* buf;
    uint32_t start, mask;
    bool pending;

    QmCells(QuillomatI* q_, LoopChunk* loop_)
        : q(q_), loop(loop_), buf(q_->pSampleBuf), start(loop_->lLoopStart), mask(q_->lBufferSizeMask),
          pending(loop_->frontfill || loop_->backfill) {}

    float* at(uint32_t p) const { return buf + ((start + p) & mask); }

    void fill(uint32_t p) {
        if (!pending) return;
        fillLoops(q, loop, p);
        pending = loop->frontfill || loop->backfill;
    }
};
