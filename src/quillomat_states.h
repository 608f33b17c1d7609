#pragma once
// The state handlers of the sample walk and the pieces they share. Private to
// the loop processor: quillomat_walk.cc dispatches, the handlers live in
// quillomat_record.cc, quillomat_play.cc and quillomat_multiply.cc.
//
// A handler processes samples from b->lSampleIndex on and returns either at
// the end of the block or where it changed the state or the chunk, leaving
// lSampleIndex on the first sample the next handler is to take (the same
// sample again when the change came before the sample was done).
#include "quillomat_internal.h"

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

// Falls back to plain play after running out of memory, with the fades of
// play so nothing more is written into the loop.
void qmFallBackToPlay(QuillomatI* q, const QmBlock* b);

// ---------------------------------------------------------------------------

// "p is a multiple of d"; only 0 is a multiple of 0.
static inline bool qmMultiple(uint32_t p, uint32_t d) { return d ? p % d == 0 : p == 0; }

static inline void qmCountUp(uint32_t& n) {
    if (n != 0xffffffffu) ++n;
}

// The three fade envelopes, held in locals while a handler runs.
struct QmEnv {
    float loop, loopD, play, playD, feed, feedD;

    explicit QmEnv(const QuillomatI* q)
        : loop(q->fLoopFadeAtten), loopD(q->fLoopFadeDelta), play(q->fPlayFadeAtten),
          playD(q->fPlayFadeDelta), feed(q->fFeedFadeAtten), feedD(q->fFeedFadeDelta) {}

    void step() {
        loop = Quillomat::dsp::envelope_step(loop, loopD);
        play = Quillomat::dsp::envelope_step(play, playD);
        feed = Quillomat::dsp::envelope_step(feed, feedD);
    }

    void store(QuillomatI* q) const {
        q->fLoopFadeAtten = loop;
        q->fLoopFadeDelta = loopD;
        q->fPlayFadeAtten = play;
        q->fPlayFadeDelta = playD;
        q->fFeedFadeAtten = feed;
        q->fFeedFadeDelta = feedD;
    }
};

// One handler's stretch of the block: the envelopes and the play position
// are held here while its loop runs and given back in one place when it
// leaves, at the end of the block or where the state or the chunk changes.
// The block's levels are copied here too, so that the loop reads them from
// registers rather than through the block.
struct QmStretch {
    QuillomatI* q;
    QmBlock* b;
    LoopChunk* loop;
    QmEnv env;
    double pos;
    const Quillomat::dsp::LinearRamp wet, dry, fb;

    QmStretch(QuillomatI* q_, QmBlock* b_, LoopChunk* loop_)
        : q(q_), b(b_), loop(loop_), env(q_), pos(loop_ ? loop_->dCurrPos : 0.0), wet(b_->wet), dry(b_->dry),
          fb(b_->feedback) {}

    // The next handler takes the block from sample i on.
    void leave(unsigned long i) {
        env.store(q);
        if (loop) loop->dCurrPos = pos;
        b->lSampleIndex = i;
    }

    // The same, entering `next` (the state that was pending; play when none).
    void enter(unsigned long i, int next) {
        leave(i);
        q->waitingForSync = 0;
        b->loop = qmEnterNext(q, loop, next);
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
    if (qmOwesCopies(loop)) fillLoops(q, loop, p);
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
          pending(qmOwesCopies(loop_)) {}

    float* at(uint32_t p) const { return buf + ((start + p) & mask); }

    // Before the cell at p is read or written.
    void fill(uint32_t p) {
        if (!pending) return;
        fillLoops(q, loop, p);
        pending = qmOwesCopies(loop);
    }
};

// A reverse that was waiting is taken at the position the handler stands on.
static inline double qmTakeReverse(QuillomatI* q, LoopChunk* loop, double pos, float& pending) {
    pos = qmTurn(q, loop, pos, pending);
    q->fNextCurrRate = pending = 0.0f;
    return pos;
}
