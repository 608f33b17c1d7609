// The end of a crossfade out of a take that play no longer writes: the cut
// is faded as a take ended by a command is, though undo all has taken the
// take away, or RECORD has made the multiply's cut its new end. What was
// heard there fades out of the output the same way.
#include "quillomat_internal.h"

namespace dsp = Quillomat::dsp;

namespace {

// The states whose walk writes what is left of the input's fade into the
// head. (A delay line is no take, and an armed recording writes nothing.)
bool fadesIntoHead(int state) {
    return state == STATE_RECORD || state == STATE_REC_ENDING || qmPlaysHead(state) || qmWritesLoop(state);
}

void startTail(QuillomatI* q, LoopChunk* c, float feed) {
    QmTail& t = q->tail;
    t.chunk = c;
    t.source = nullptr;
    t.pos = qmFold(c->dCurrPos, c->lLoopLength);
    t.srcPos = 0;
    t.loop = q->fLoopFadeAtten;
    t.feed = feed;
    t.carry = 0.0f;
    t.step = qmFadeStep(q);
    t.forward = q->fCurrRate > 0.0f;
}

// Where the state reads what is heard, how fast and how loud.
struct Heard {
    LoopChunk* chunk;
    double pos;
    float rate, level;
};

// False when nothing of the loop is heard (no loop, a recording, a wait).
bool heardNow(const QuillomatI* q, Heard& f) {
    LoopChunk* h = q->headLoopChunk;
    if (!h || h->lLoopLength == 0) return false;
    f.chunk = h;
    f.pos = h->dCurrPos;
    f.rate = q->fCurrRate;
    f.level = q->fPlayFadeAtten;
    if (qmPlaysHead(q->state)) return true;
    switch (q->state) {
    case STATE_DELAY:
        f.level = 1.0f;  // heard whole, not through the play fade
        return true;
    case STATE_MULTIPLY:
    case STATE_INSERT: {
        // The source is heard, at the chunk's position, always forward.
        LoopChunk* s = h->srcloop;
        if (!s || !s->valid || s->lLoopLength == 0) return false;
        f.chunk = s;
        if (q->state == STATE_MULTIPLY) f.pos += (double)h->lStartAdj;
        else if (q->nextState == STATE_MUTE) f.level = 0.0f;
        else if (!(h->firsttime && qmQuantizeNow(q) != 0.0f) && qmToUnsigned(h->dCurrPos) >= h->lMarkEndL &&
                 qmRoundNow(q) == 0.0f)
            f.level = 0.0f;  // an insert past the end it was asked to stop at: only the input
        f.rate = 1.0f;
        return true;
    }
    default:
        return false;
    }
}

}  // namespace

void qmFadeOutHeard(QuillomatI* q) {
    Heard h;
    if (!heardNow(q, h) || !(h.level > 0.0f)) return;
    LoopChunk* c = h.chunk;
    const uint32_t len = c->lLoopLength;
    const double dlen = (double)len;
    const unsigned int n = qmFadeSamples(q);
    const float step = dsp::fade_step(n < (unsigned int)QM_FADE_FRAMES ? n : (unsigned int)QM_FADE_FRAMES);
    // Copy-on-play fills only in the direction of play.
    const bool fills = (h.rate > 0.0f) == (q->fCurrRate > 0.0f);
    QmFadeOut& f = q->fadeOut;
    float level = h.level;
    double pos = qmWrap(h.pos, len);
    uint32_t k = 0;
    for (; k < QM_FADE_FRAMES && level > 0.0f; ++k) {
        level = dsp::envelope_step(level, -step);
        const uint32_t p = qmFold(pos, len);
        if (fills && qmOwesCopies(c)) fillLoops(q, c, p);
        const float cell = *qmCell(q, c, p);
        const uint32_t at = (f.first + k) & (QM_FADE_FRAMES - 1);
        if (k < f.left) {
            // A fade out still running goes on under this one.
            f.heard[at] = f.gain[at] * f.heard[at] + level * cell;
            f.gain[at] = 1.0f;
        } else {
            f.gain[at] = level;
            f.heard[at] = cell;
        }
        pos += h.rate;
        if (!(pos >= 0.0 && pos < dlen)) pos = qmWrap(pos, len);
    }
    if (k > f.left) f.left = k;
}

void qmRunFadeOut(QuillomatI* q, const QmBlock* b) {
    QmFadeOut& f = q->fadeOut;
    const uint32_t n = b->SampleCount < f.left ? (uint32_t)b->SampleCount : f.left;
    float* out = q->pfOutput;
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t at = (f.first + i) & (QM_FADE_FRAMES - 1);
        out[i] += f.gain[at] * b->wet.at(i) * f.heard[at];
    }
    f.first = (f.first + n) & (QM_FADE_FRAMES - 1);
    f.left -= n;
}

void qmFadeOutTaken(QuillomatI* q) {
    // A loop that takes no input any more leaves alone a fade under way (one
    // an earlier undo all began, before redo all brought its take back).
    LoopChunk* c = q->headLoopChunk;
    if (!c || c->lLoopLength == 0 || !fadesIntoHead(q->state)) return;
    if (q->fLoopFadeAtten == 0.0f && q->fFeedFadeAtten == 1.0f) return;
    startTail(q, c, q->fFeedFadeAtten);
}

void qmFadeCutIntoStart(QuillomatI* q, LoopChunk* c) {
    if (!c || c->lLoopLength == 0) return;
    startTail(q, c, 0.0f);
    LoopChunk* s = c->srcloop;
    if (s && s->valid && s->lLoopLength > 0) {
        q->tail.source = s;
        q->tail.srcPos = qmFold((double)c->lStartAdj + c->dCurrPos, s->lLoopLength);
        q->tail.carry = q->fFeedFadeAtten;
    }
    // The input goes into the loop through the fade here alone.
    qmCloseWrites(q);
}

void qmRunTail(QuillomatI* q, const QmBlock* b) {
    QmTail& t = q->tail;
    LoopChunk* c = t.chunk;
    if (!c) return;
    // Copy-on-play fills in the direction of play: a turn ends the fade.
    if (!c->valid || c->lLoopLength == 0 || t.forward != (q->fCurrRate > 0.0f) ||
        (t.source && !t.source->valid)) {
        qmDropTail(q);
        return;
    }
    const uint32_t len = c->lLoopLength;
    const uint32_t srcLen = t.source ? t.source->lLoopLength : 0;
    const float* in = q->pfInput;
    const float safety = b->fSafetyFeedback;
    uint32_t p = t.pos < len ? t.pos : 0;
    float loop = t.loop, feed = t.feed, carry = t.carry;
    const unsigned long n = b->SampleCount;
    for (unsigned long i = 0; i < n && (loop > 0.0f || feed < 1.0f || carry > 0.0f); ++i) {
        loop = dsp::envelope_step(loop, -t.step);
        feed = dsp::envelope_step(feed, t.step);
        carry = dsp::envelope_step(carry, -t.step);
        float gone = loop * dsp::finite_or_zero(in[i]);
        if (t.source) {
            if (qmOwesCopies(t.source)) fillLoops(q, t.source, t.srcPos);
            gone += carry * safety * b->feedback.at((uint32_t)i) * *qmCell(q, t.source, t.srcPos);
            t.srcPos = t.srcPos + 1 < srcLen ? t.srcPos + 1 : 0;
        }
        if (qmOwesCopies(c)) fillLoops(q, c, p);
        float* cell = qmCell(q, c, p);
        *cell = dsp::mix_guard(*cell * feed + gone);
        if (t.forward) p = p + 1 < len ? p + 1 : 0;
        else p = p > 0 ? p - 1 : len - 1;
    }
    t.pos = p;
    t.loop = loop;
    t.feed = feed;
    t.carry = carry;
    if (loop == 0.0f && feed == 1.0f && carry == 0.0f) qmDropTail(q);
}
