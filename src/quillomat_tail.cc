// The end of a crossfade out of a take that play no longer writes: the cut
// is faded as a take ended by a command is, though undo all has taken the
// take away, or RECORD has made the multiply's cut its new end.
#include "quillomat_internal.h"

namespace dsp = Quillomat::dsp;

namespace {

// The states whose walk writes what is left of the input's fade into the
// head. (A delay line is no take, and an armed recording writes nothing.)
bool fadesIntoHead(int state) {
    switch (state) {
    case STATE_RECORD:
    case STATE_REC_ENDING:
    case STATE_PLAY:
    case STATE_MUTE:
    case STATE_SCRATCH:
    case STATE_ONESHOT:
        return true;
    default:
        return qmWritesLoop(state);
    }
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

}  // namespace

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
