// The loop processor's chunk history: the ring of versions over the circular
// memory, undo and redo, and the copy-on-play fill.
#include "processor_fixture.h"

#include <set>

using qmtest::ProcessorHost;

namespace {

// 1000 Hz and 4 s: a memory of exactly 4096 samples.
const unsigned long kRate = 1000;
const char* const kSecs = "4";

float tenfold(uint32_t i) { return 10.0f * float(i + 1); }

// Plays the head once round from 0, as the walk would, so every owed sample
// is copied.
void fillAll(QuillomatI* q) {
    LoopChunk* c = q->headLoopChunk;
    for (uint32_t p = 0; p < c->lLoopLength; ++p) fillLoops(q, c, p);
}

std::vector<float> cells(QuillomatI* q, LoopChunk* c) {
    std::vector<float> v(c->lLoopLength);
    for (uint32_t p = 0; p < c->lLoopLength; ++p) v[p] = *qmCell(q, c, p);
    return v;
}

}  // namespace

TEST(ProcessorHistory, NewChunksFollowTheHeadInRingAndMemory) {
    ProcessorHost h(kRate, kSecs);
    QuillomatI* q = h.inst();
    EXPECT_FALSE(invalidateTails(q, 0, 10, nullptr));  // no tail yet

    LoopChunk* a = pushNewLoopChunk(q, 0, nullptr);
    ASSERT_EQ(a, &q->pLoopChunks[0]);
    EXPECT_EQ(a->lLoopStart, 0u);
    EXPECT_EQ(q->headLoopChunk, a);
    EXPECT_EQ(q->tailLoopChunk, a);
    EXPECT_EQ(a->prev, nullptr);
    EXPECT_EQ(a->next, nullptr);
    EXPECT_EQ(a->valid, 1);

    a->lLoopLength = 3900;
    a->lCycleLength = 1950;
    a->lCycles = 2;
    a->dCurrPos = 17.0;
    // A new version must fit beside its source: 197 samples would not.
    EXPECT_EQ(pushNewLoopChunk(q, 197, a), nullptr);
    EXPECT_EQ(q->headLoopChunk, a);
    EXPECT_EQ(a->next, nullptr);
    LoopChunk* b = pushNewLoopChunk(q, 196, a);
    ASSERT_EQ(b, &q->pLoopChunks[1]);
    EXPECT_EQ(b->lLoopStart, 3900u);
    EXPECT_EQ(b->prev, a);
    EXPECT_EQ(a->next, b);
    EXPECT_EQ(b->srcloop, a);
    EXPECT_EQ(b->lLoopLength, 3900u);
    EXPECT_EQ(b->lCycleLength, 1950u);
    EXPECT_EQ(b->lCycles, 2u);
    EXPECT_EQ(b->dCurrPos, 17.0);
    EXPECT_EQ(b->frontfill, 0);
    EXPECT_EQ(b->backfill, 0);
    EXPECT_EQ(a->valid, 1);

    // The next one starts past the end of the memory, wrapped.
    b->lLoopLength = 300;
    LoopChunk* c = pushNewLoopChunk(q, 0, nullptr);
    EXPECT_EQ(c->lLoopStart, 104u);

    // Growth is bounded by the whole memory; exactly the whole memory fits.
    c->lLoopLength = 4000;
    EXPECT_EQ(ensureLoopSpace(q, c, 97, nullptr), nullptr);
    EXPECT_EQ(ensureLoopSpace(q, c, 96, nullptr), c);
    EXPECT_EQ(q->tailLoopChunk, c);  // it covered every older chunk
    EXPECT_EQ(a->valid, 0);
    EXPECT_EQ(b->valid, 0);
    c->lLoopLength = 10;
    EXPECT_EQ(ensureLoopSpace(q, nullptr, 4097, c), nullptr);
}

TEST(ProcessorHistory, NewVersionOfALongLoopNeverCoversIt) {
    // Over a third of the memory: a new version used to claim twice the loop
    // and more, reaching round onto the loop itself.
    ProcessorHost h(kRate, kSecs);
    QuillomatI* q = h.inst();
    LoopChunk* a = h.plantLoop(1500, tenfold);
    const std::vector<float> original = h.loopAudio();
    a->dCurrPos = 0.0;
    h.command(QM_CMD_OVERDUB);
    LoopChunk* o = q->headLoopChunk;
    ASSERT_NE(o, a);
    EXPECT_EQ(a->valid, 1);
    EXPECT_EQ(q->tailLoopChunk, a);
    fillAll(q);
    EXPECT_EQ(h.loopAudio(), original);  // copied from a sound source
    h.command(QM_CMD_OVERDUB);
    h.command(QM_CMD_UNDO);
    ASSERT_EQ(q->headLoopChunk, a);
    EXPECT_EQ(h.loopAudio(), original);

    // An insert of a long loop claims only the grown length.
    ProcessorHost i(kRate, kSecs);
    LoopChunk* s = i.plantLoop(1300, tenfold);
    i.command(QM_CMD_INSERT);
    ASSERT_EQ(i.inst()->state, STATE_INSERT);
    EXPECT_EQ(s->valid, 1);
    EXPECT_EQ(i.inst()->headLoopChunk->lLoopLength, 2600u);

    // Older versions in the way of the new one still leave the history.
    ProcessorHost w(kRate, kSecs);
    LoopChunk* old = w.plantLoop(1000);
    LoopChunk* mid = w.plantLoop(1000);
    LoopChunk* cur = w.plantLoop(1500);  // [2000, 3500)
    w.command(QM_CMD_OVERDUB);           // [3500, 5000) wraps over [0, 904)
    EXPECT_EQ(old->valid, 0);
    EXPECT_EQ(mid->valid, 1);
    EXPECT_EQ(cur->valid, 1);
    EXPECT_EQ(w.inst()->tailLoopChunk, mid);
    EXPECT_EQ(mid->prev, nullptr);
}

TEST(ProcessorHistory, WrappingMaterialRetiresTheOldestVersions) {
    ProcessorHost h(kRate, kSecs);
    QuillomatI* q = h.inst();
    LoopChunk* a = h.plantLoop(1500);  // [0, 1500)
    LoopChunk* b = h.plantLoop(1500);  // [1500, 3000)
    // A region ending exactly at the end of the memory does not wrap.
    LoopChunk* c = pushNewLoopChunk(q, 0, nullptr);
    c->lLoopLength = 0;
    ASSERT_EQ(ensureLoopSpace(q, c, 1096, nullptr), c);
    EXPECT_EQ(a->valid, 1);
    // One more sample reaches the oldest chunk's start.
    ASSERT_EQ(ensureLoopSpace(q, c, 1097, nullptr), c);
    EXPECT_EQ(a->valid, 0);
    EXPECT_EQ(b->valid, 1);
    EXPECT_EQ(q->tailLoopChunk, b);
    EXPECT_EQ(b->prev, nullptr);

    c->lLoopLength = 1097;
    undoLoop(q);
    EXPECT_EQ(q->headLoopChunk, b);
    EXPECT_EQ(q->tailLoopChunk, b);
    undoLoop(q);
    EXPECT_EQ(q->headLoopChunk, nullptr);
    redoLoop(q);
    EXPECT_EQ(q->headLoopChunk, b);
    redoLoop(q);
    EXPECT_EQ(q->headLoopChunk, c);
}

TEST(ProcessorHistory, RingWrapPast512ChunksKeepsUndoSound) {
    ProcessorHost h(kRate, kSecs);
    QuillomatI* q = h.inst();
    h.plantLoop(4);
    const int kVersions = 600;
    for (int k = 1; k <= kVersions; ++k) {
        h.command(QM_CMD_OVERDUB);
        ASSERT_EQ(q->state, STATE_OVERDUB) << k;
        fillAll(q);
        *qmCell(q, q->headLoopChunk, 0) = float(k);  // this version's mark
        h.command(QM_CMD_OVERDUB);
    }
    // The history is a chain of at most 512 distinct, valid versions.
    std::set<LoopChunk*> seen;
    LoopChunk* oldest = nullptr;
    for (LoopChunk* c = q->headLoopChunk; c; c = c->prev) {
        ASSERT_TRUE(seen.insert(c).second) << "history loops back on itself";
        ASSERT_LE(seen.size(), 512u);
        EXPECT_EQ(c->valid, 1);
        oldest = c;
    }
    EXPECT_EQ(seen.size(), 512u);
    EXPECT_EQ(q->tailLoopChunk, oldest);

    // Each undo plays the version made before, never a newer one's memory.
    for (int k = kVersions; k > kVersions - 511; --k) {
        ASSERT_EQ(*qmCell(q, q->headLoopChunk, 0), float(k));
        h.command(QM_CMD_UNDO);
    }
    EXPECT_EQ(*qmCell(q, q->headLoopChunk, 0), float(kVersions - 511));
    // The version before that has left the ring: undo keeps this one.
    h.command(QM_CMD_UNDO);
    ASSERT_NE(q->headLoopChunk, nullptr);
    EXPECT_EQ(*qmCell(q, q->headLoopChunk, 0), float(kVersions - 511));
    EXPECT_EQ(qm_memory_refusals(h.handle), 1u);
    h.command(QM_CMD_REDO_ALL);
    ASSERT_NE(q->headLoopChunk, nullptr);
    EXPECT_EQ(*qmCell(q, q->headLoopChunk, 0), float(kVersions));
}

TEST(ProcessorHistory, UndoAndRedoCarryThePlayPosition) {
    ProcessorHost h(kRate, kSecs);
    QuillomatI* q = h.inst();
    LoopChunk* a = h.plantLoop(900, nullptr, 3);
    a->dCurrPos = 750.0;
    h.command(QM_CMD_MULTIPLY);
    LoopChunk* m = q->headLoopChunk;
    ASSERT_EQ(m->lStartAdj, 600u);
    m->dCurrPos = 200.5;
    h.command(QM_CMD_UNDO);
    ASSERT_EQ(q->headLoopChunk, a);
    EXPECT_DOUBLE_EQ(a->dCurrPos, 800.5);

    // Overdub of a loop, undone after it ran past the end of the older one.
    h.command(QM_CMD_OVERDUB);
    LoopChunk* o = q->headLoopChunk;
    o->dCurrPos = 1234.0;
    h.command(QM_CMD_OVERDUB);
    h.command(QM_CMD_UNDO);
    EXPECT_DOUBLE_EQ(a->dCurrPos, 334.0);
    a->dCurrPos = 10.0;
    h.command(QM_CMD_REDO);
    EXPECT_EQ(q->headLoopChunk, o);
    EXPECT_DOUBLE_EQ(o->dCurrPos, 10.0);

    // Clearing keeps the tail: redo then starts the oldest at 0.
    clearLoopChunks(q);
    EXPECT_EQ(q->headLoopChunk, nullptr);
    redoLoop(q);
    EXPECT_EQ(q->headLoopChunk, a);
    EXPECT_EQ(a->dCurrPos, 0.0);
}

TEST(ProcessorHistory, EmptyChunksNeverDivideByZero) {
    ProcessorHost h(kRate, kSecs);
    QuillomatI* q = h.inst();
    LoopChunk* a = h.plantLoop(0);
    ASSERT_NE(a, nullptr);
    a->dCurrPos = 5.0;
    h.command(QM_CMD_OVERDUB);
    LoopChunk* o = q->headLoopChunk;
    ASSERT_NE(o, a);
    EXPECT_EQ(o->frontfill, 0);
    EXPECT_EQ(o->backfill, 0);
    o->dCurrPos = 7.0;
    h.command(QM_CMD_OVERDUB);
    h.command(QM_CMD_UNDO);
    EXPECT_EQ(q->headLoopChunk, a);
    EXPECT_EQ(a->dCurrPos, 0.0);
    h.command(QM_CMD_REDO);
    EXPECT_EQ(o->dCurrPos, 0.0);
    h.play(64);  // the walk with a loop of 0 samples

    // A version still owing samples to a source of length 0 gets silence.
    LoopChunk* c = h.plantLoop(8);
    a->valid = 1;  // as if its memory were still its own
    c->srcloop = a;
    c->frontfill = 1;
    c->lMarkL = 0;
    c->lMarkH = 7;
    c->backfill = 1;
    c->lMarkEndL = 0;
    c->lMarkEndH = 7;
    fillLoops(q, c, 3);
    EXPECT_EQ(*qmCell(q, c, 3), 0.0f);

    // Multiply and insert need a cycle to repeat.
    LoopChunk* z = h.plantLoop(0);
    h.command(QM_CMD_MULTIPLY);
    h.command(QM_CMD_INSERT);
    EXPECT_EQ(q->headLoopChunk, z);
    EXPECT_EQ(q->state, STATE_PLAY);
}

TEST(ProcessorHistory, CopyOnPlayFillsTheDeepestOwedVersionFirst) {
    ProcessorHost h(kRate, kSecs);
    QuillomatI* q = h.inst();
    LoopChunk* a = h.plantLoop(10, tenfold);
    h.command(QM_CMD_OVERDUB);  // b owes all of a
    LoopChunk* b = q->headLoopChunk;
    h.command(QM_CMD_OVERDUB);
    b->dCurrPos = 0.0;
    h.command(QM_CMD_OVERDUB);  // c owes all of b
    LoopChunk* c = q->headLoopChunk;
    h.command(QM_CMD_OVERDUB);
    ASSERT_EQ(c->srcloop, b);
    ASSERT_EQ(b->srcloop, a);

    fillLoops(q, c, 0);
    EXPECT_EQ(*qmCell(q, b, 0), 10.0f);
    EXPECT_EQ(*qmCell(q, c, 0), 10.0f);
    EXPECT_EQ(c->lMarkEndL, 1u);  // the range holds only what is still owed
    for (uint32_t p = 1; p < 10; ++p) fillLoops(q, c, p);
    EXPECT_EQ(cells(q, c), cells(q, a));
    EXPECT_EQ(cells(q, b), cells(q, a));
    EXPECT_EQ(b->backfill, 0);
    EXPECT_EQ(c->backfill, 0);
    EXPECT_EQ(c->lMarkEndL, QM_EMPTY_MARK);

    // Backwards the owed range shrinks from the top.
    q->fCurrRate = -1.0f;
    c->dCurrPos = 9.0;
    h.command(QM_CMD_OVERDUB);
    LoopChunk* d = q->headLoopChunk;
    ASSERT_EQ(d->lMarkEndH, 9u);
    fillLoops(q, d, 9);
    EXPECT_EQ(d->lMarkEndH, 8u);
    fillLoops(q, d, 8);
    EXPECT_EQ(d->lMarkEndH, 7u);
    EXPECT_EQ(*qmCell(q, d, 8), 90.0f);
    h.command(QM_CMD_OVERDUB);

    // A source that was written over gives silence, not its new contents.
    q->fCurrRate = 1.0f;
    d->dCurrPos = 0.0;
    h.command(QM_CMD_OVERDUB);
    LoopChunk* e = q->headLoopChunk;
    d->valid = 0;
    fillLoops(q, e, 4);
    EXPECT_EQ(*qmCell(q, e, 4), 0.0f);
}

TEST(ProcessorHistory, ReadsTheCurrentLoopInLoopOrder) {
    ProcessorHost h(kRate, kSecs);
    QuillomatI* q = h.inst();
    float buf[300];
    EXPECT_EQ(qm_read_current_loop_audio(q, buf, 300, 0), 0u);  // no loop
    h.plantLoop(4000);
    LoopChunk* w = h.plantLoop(200);  // [4000, 4200): across the end
    ASSERT_EQ(w->lLoopStart, 4000u);
    EXPECT_EQ(qm_read_current_loop_audio(q, buf, 300, 0), 200u);
    for (int i = 0; i < 200; ++i) ASSERT_EQ(buf[i], float(i + 1)) << i;
    EXPECT_EQ(qm_read_current_loop_audio(q, buf, 100, 150), 50u);
    EXPECT_EQ(buf[0], 151.0f);
    EXPECT_EQ(buf[49], 200.0f);
    EXPECT_EQ(qm_read_current_loop_audio(q, buf, 10, 200), 0u);
    EXPECT_EQ(qm_read_current_loop_audio(q, buf, 10, 201), 0u);
    EXPECT_EQ(qm_read_current_loop_audio(q, nullptr, 10, 0), 0u);
    EXPECT_EQ(qm_read_current_loop_audio(nullptr, buf, 10, 0), 0u);
}
