// A long random run of commands, control changes, sync pulses and block sizes
// through the loop processor's descriptor, in a small memory that wraps often.
// It must never hang, and every output and every memory cell stays finite.
#include "processor_fixture.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

class Fuzzer {
public:
    explicit Fuzzer(uint32_t seed) : rng(seed), h(4000, "1", 512) {}

    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
    float real(float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(rng); }
    bool chance(int percent) { return pick(0, 99) < percent; }

    void changeControls() {
        float* c = h.ctl;
        switch (pick(0, 16)) {
        case 0: c[QM_QUANT_MODE] = float(pick(0, 3)); break;
        case 1: c[QM_ROUND] = float(pick(0, 1)); break;
        case 2: c[QM_SYNC_MODE] = float(pick(0, 2)); break;
        case 3: c[QM_PLAYBACK_SYNC] = float(pick(0, 1)); break;
        case 4: c[QM_TEMPO] = chance(10) ? 1e9f : (chance(20) ? 0.0f : real(20.0f, 1000.0f)); break;
        case 5: c[QM_FADE_SAMPLES] = float(pick(0, 300)); break;
        case 6: c[QM_FEEDBACK] = real(-0.5f, 1.5f); break;
        case 7: c[QM_WET] = real(0.0f, 1.0f); break;
        case 8: c[QM_DRY] = real(0.0f, 1.0f); break;
        case 9: c[QM_RATE] = real(-4.0f, 4.0f); break;
        case 10: c[QM_SCRATCH_POS] = real(0.0f, 1.0f); break;
        case 11: c[QM_TRIG_THRESH] = chance(50) ? 0.0f : real(0.0f, 1.0f); break;
        case 12: c[QM_USE_FEEDBACK_PLAY] = float(pick(0, 1)); break;
        case 13: c[QM_USE_SAFETY_FEEDBACK] = float(pick(0, 1)); break;
        case 14: c[QM_EIGHTH_PER_CYCLE] = float(pick(0, 32)); break;
        case 15: c[QM_TAP_TRIG] = c[QM_TAP_TRIG] == 0.0f ? 1.0f : 0.0f; break;
        default: c[QM_USE_RATE] = float(pick(0, 1)); break;
        }
    }

    // In place as the looper runs it, or on separate buffers.
    void rebind(bool inPlace) {
        h.desc->connect_port(h.handle, QM_OUTPUT, inPlace ? h.input.data() : h.output.data());
        h.desc->connect_port(h.handle, QM_SYNC_OUTPUT, inPlace ? h.syncIn.data() : h.syncOut.data());
        outBuf = inPlace ? &h.input : &h.output;
        syncBuf = inPlace ? &h.syncIn : &h.syncOut;
    }

    void runBlock() {
        const unsigned long n = chance(10) ? 0 : (unsigned long)pick(1, 512);
        for (unsigned long i = 0; i < n; ++i) {
            h.input[i] = chance(2) ? real(-8.0f, 8.0f) : real(-1.0f, 1.0f);
            h.syncIn[i] = chance(1) ? 1.0f : 0.0f;
        }
        h.run(n);
        for (unsigned long i = 0; i < n; ++i) {
            ASSERT_TRUE(std::isfinite((*outBuf)[i])) << "output sample " << i;
            ASSERT_TRUE(std::isfinite((*syncBuf)[i])) << "sync sample " << i;
        }
    }

    void checkStatus() {
        const QuillomatI* q = h.inst();
        for (int p = QM_STATE_OUT; p <= QM_NEXT_STATE_OUT; ++p) ASSERT_TRUE(std::isfinite(h.ctl[p])) << "port " << p;
        const int state = h.state();
        if (state >= 0 && state < 14) ++seen[state];
        ASSERT_TRUE(state >= STATE_OFF && state <= STATE_SUBSTITUTE) << state;
        const int next = int(h.ctl[QM_NEXT_STATE_OUT]);
        ASSERT_TRUE(next == -1 || next == STATE_TRIGGER_PLAY || (next >= STATE_REC_WAIT && next <= STATE_SUBSTITUTE))
            << next;
        ASSERT_TRUE(h.ctl[QM_WAITING] == 0.0f || h.ctl[QM_WAITING] == 1.0f);
        // A pending next state is always reported as waiting.
        if (next != -1) {
            ASSERT_EQ(h.ctl[QM_WAITING], 1.0f) << "next " << next << " state " << state;
        }
        checkHistory();
        if (q->headLoopChunk) ++layouts[q->headLoopChunk->overSource];
        if (const LoopChunk* c = q->headLoopChunk) {
            ASSERT_LE(c->lLoopLength, q->lBufferSize);
            ASSERT_TRUE(std::isfinite(c->dCurrPos));
            if (c->lLoopLength > 0) {
                ASSERT_GE(c->dCurrPos, 0.0) << "state " << q->state;
                ASSERT_LE(c->dCurrPos, double(c->lLoopLength) + 1.0) << "state " << q->state;
            }
        }
    }

    // Undo all leaves no loop; redo all right after it brings back the
    // newest version: the one that played, when it had no redo side.
    void undoAllAndBack() {
        const QuillomatI* q = h.inst();
        const LoopChunk* was = q->headLoopChunk && !q->headLoopChunk->next ? q->headLoopChunk : nullptr;
        // A block at -1 first: a random undo all just before would otherwise
        // make this one no change of the command port.
        h.run(0);
        h.command(QM_CMD_UNDO_ALL);
        ASSERT_EQ(q->headLoopChunk, nullptr);
        h.command(QM_CMD_REDO_ALL);
        ASSERT_TRUE(!q->headLoopChunk || !q->headLoopChunk->next);
        if (was) {
            ASSERT_EQ(q->headLoopChunk, was);
        }
        ++undoneAll;
    }

    // Every version undo or redo can reach still owns its memory: it is
    // valid, and no two of them share a cell.
    void checkHistory() {
        const QuillomatI* q = h.inst();
        std::vector<const LoopChunk*> reach;
        for (const LoopChunk* c = q->headLoopChunk; c; c = c->prev) reach.push_back(c);
        for (const LoopChunk* c = q->headLoopChunk ? q->headLoopChunk->next : q->tailLoopChunk; c; c = c->next)
            reach.push_back(c);
        ASSERT_LE(reach.size(), 512u);
        std::vector<std::pair<uint32_t, uint32_t>> spans;
        for (const LoopChunk* c : reach) {
            ASSERT_TRUE(c->valid) << "a version whose memory was written over is reachable";
            if (c->lLoopLength > 0) spans.emplace_back(c->lLoopStart, c->lLoopLength);
        }
        std::sort(spans.begin(), spans.end());
        uint64_t total = 0;
        for (size_t i = 0; i < spans.size(); ++i) {
            total += spans[i].second;
            const uint64_t next = i + 1 < spans.size() ? spans[i + 1].first : spans[0].first + uint64_t(q->lBufferSize);
            if (spans.size() > 1) {
                ASSERT_LE(spans[i].first + uint64_t(spans[i].second), next) << "versions overlap";
            }
        }
        ASSERT_LE(total, q->lBufferSize);
    }

    std::mt19937 rng;
    qmtest::ProcessorHost h;
    int seen[14] = {};
    int layouts[3] = {};
    int undoneAll = 0;
    std::vector<float>* outBuf = nullptr;
    std::vector<float>* syncBuf = nullptr;
};

TEST(ProcessorFuzz, RandomSessionsStayFiniteAndNeverHang) {
    // A hung audio walk ends the test instead of the test run.
    alarm(240);
    // 10861 gives two undo alls in a row (one random, one of undoAllAndBack).
    for (uint32_t seed : {1u, 2u, 3u, 14u, 10861u}) {
        Fuzzer f(seed);
        ASSERT_NE(f.h.handle, nullptr);
        f.rebind(false);
        f.h.ctl[QM_RATE] = 1.0f;
        for (int step = 0; step < 12000; ++step) {
            if (f.chance(35)) {
                const int cmd = f.chance(95) ? f.pick(0, 18) : f.pick(19, 130);
                f.h.ctl[QM_MULTICTRL] = float(cmd);
                // Commands arrive on runs of no samples as often as with audio.
                if (f.chance(50)) f.h.run(0);
                else f.runBlock();
                f.h.ctl[QM_MULTICTRL] = -1.0f;
            }
            // (Before a control change: a tap would take the command's place.)
            if (f.chance(1)) f.undoAllAndBack();
            if (f.chance(25)) f.changeControls();
            if (f.chance(2)) f.rebind(f.chance(50));
            f.runBlock();
            ASSERT_FALSE(::testing::Test::HasFatalFailure()) << "seed " << seed << " step " << step;
            f.checkStatus();
            ASSERT_FALSE(::testing::Test::HasFatalFailure()) << "seed " << seed << " step " << step;
        }
        // The run reached every state that processes a loop, and the ways a
        // version is laid when the memory runs short.
        EXPECT_GT(f.layouts[QM_IN_STEP], 0);
        EXPECT_GT(f.layouts[QM_RELAY], 0);
        EXPECT_GT(qm_memory_refusals(f.h.handle), 0u);
        EXPECT_GT(f.undoneAll, 50);
        for (int st = STATE_RECORD; st <= STATE_SUBSTITUTE; ++st) EXPECT_GT(f.seen[st], 0) << "state " << st;
        const QuillomatI* q = f.h.inst();
        for (uint32_t i = 0; i < q->lBufferSize; ++i) ASSERT_TRUE(std::isfinite(q->pSampleBuf[i])) << "cell " << i;
    }
    alarm(0);
}

} // namespace
