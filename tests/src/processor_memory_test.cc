// The loop processor when its memory runs short: loops longer than half the
// memory are still overdubbed, replaced, substituted, multiplied and inserted
// into (older versions give way), what cannot fit is refused visibly, and the
// whole memory is resident before the first recording.
#include "processor_fixture.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <vector>

namespace {

using Samples = std::vector<float>;

// 1000 Hz and 4 s by default: a memory of 4096 samples, so 2048 is half of it.
class Rig : public qmtest::ProcessorHost {
public:
    explicit Rig(unsigned long rate = 1000, const char* secs = "4") : ProcessorHost(rate, secs) {
        ctl[QM_RATE] = 1.0f;
    }

    Samples block(const Samples& in) {
        Samples out;
        for (size_t done = 0; done < in.size();) {
            const size_t k = std::min(in.size() - done, input.size());
            std::copy(in.begin() + done, in.begin() + done + k, input.begin());
            run(k);
            out.insert(out.end(), output.begin(), output.begin() + k);
            done += k;
        }
        return out;
    }
    Samples steady(size_t n, float v) { return block(Samples(n, v)); }

    // Records exactly these samples as a new loop; it plays from its start.
    void record(const Samples& v) {
        command(QM_CMD_RECORD);
        block(v);
        command(QM_CMD_RECORD);
    }
    // The same, as `cycles` cycles.
    void record(const Samples& v, uint32_t cycles) {
        record(v);
        inst()->headLoopChunk->lCycles = cycles;
        inst()->headLoopChunk->lCycleLength = uint32_t(v.size()) / cycles;
    }

    // One pass of `cmd` over n samples of x, ended by the same command.
    void pass(int cmd, size_t n, float x) {
        command(cmd);
        steady(n, x);
        command(cmd);
    }

    uint32_t refusals() const { return qm_memory_refusals(handle); }
    uint32_t length() const { return inst()->headLoopChunk ? inst()->headLoopChunk->lLoopLength : 0; }
    // The play position as "Loop Position Out (s)" reports it, in samples.
    long position() const { return lround(double(ctl[QM_LOOP_POS_OUT]) * inst()->fSampleRate); }
};

Samples ramp(size_t n) {
    Samples v(n);
    for (size_t i = 0; i < n; ++i) v[i] = 1.0f + float(i % 97);
    return v;
}

Samples plus(Samples v, float x, size_t from = 0, size_t to = SIZE_MAX) {
    for (size_t i = from; i < v.size() && i < to; ++i) v[i] += x;
    return v;
}

// An older take of 1000 samples, then the long loop after it.
const Samples kOld(1000, 0.5f);

TEST(ProcessorLongLoops, OverdubReplaceAndSubstituteWorkInPlace) {
    const Samples loop = ramp(2500);
    struct {
        int cmd;
        Samples heard, kept;  // during one pass of 0.25 in, and afterwards
    } cases[] = {
        {QM_CMD_OVERDUB, plus(loop, 0.25f), plus(loop, 0.25f)},
        {QM_CMD_REPLACE, Samples(2500, 0.25f), Samples(2500, 0.25f)},
        {QM_CMD_SUBSTITUTE, plus(loop, 0.25f), Samples(2500, 0.25f)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cmd);
        Rig h;
        h.record(kOld);
        h.record(loop);
        h.command(c.cmd);
        ASSERT_EQ(h.state(), c.cmd == QM_CMD_OVERDUB ? STATE_OVERDUB : c.cmd == QM_CMD_REPLACE ? STATE_REPLACE
                                                                                                 : STATE_SUBSTITUTE);
        EXPECT_EQ(h.steady(2500, 0.25f), c.heard);
        h.command(c.cmd);
        EXPECT_EQ(h.state(), STATE_PLAY);
        EXPECT_EQ(h.steady(2500, 0.0f), c.kept);
        EXPECT_EQ(h.loopAudio(), c.kept);
        // The version before is given up; undo reaches the older take intact.
        h.command(QM_CMD_UNDO);
        EXPECT_EQ(h.loopAudio(), kOld);
        EXPECT_EQ(h.steady(1000, 0.0f), kOld);
        h.command(QM_CMD_REDO);
        EXPECT_EQ(h.loopAudio(), c.kept);
        EXPECT_EQ(h.refusals(), 0u);
    }
    // A long recording goes straight on into an overdub of itself.
    Rig r;
    r.command(QM_CMD_RECORD);
    r.block(loop);
    r.command(QM_CMD_OVERDUB);
    EXPECT_EQ(r.state(), STATE_OVERDUB);
    EXPECT_EQ(r.steady(2500, 1.0f), plus(loop, 1.0f));
}

TEST(ProcessorLongLoops, MultiplyLaysOverTheLoopAndStopsAtTheMemory) {
    // One cycle of 2500: a second one cannot fit beside it, so the multiply
    // works over the loop and is refused at the end of its first cycle.
    Rig h;
    h.record(kOld);
    h.record(ramp(2500));
    h.command(QM_CMD_MULTIPLY);
    ASSERT_EQ(h.state(), STATE_MULTIPLY);
    EXPECT_EQ(h.steady(2500, 0.25f), plus(ramp(2500), 0.25f));
    const Samples after = h.steady(10, 0.0f);
    EXPECT_EQ(h.state(), STATE_PLAY);
    EXPECT_EQ(h.refusals(), 1u);
    EXPECT_EQ(h.length(), 2500u);
    EXPECT_EQ(after, Samples(plus(ramp(10), 0.25f)));  // plays on from its start
    EXPECT_EQ(h.loopAudio(), plus(ramp(2500), 0.25f));
    h.command(QM_CMD_UNDO);
    EXPECT_EQ(h.loopAudio(), kOld);

    // Three cycles of 900: beside the loop only one more fits; over it, two
    // multiplied cycles keep what each repeat of the source had under it.
    Rig m;
    const Samples src = ramp(2700);
    m.record(kOld);
    m.record(src, 3);
    m.command(QM_CMD_MULTIPLY);
    m.steady(1800, 0.25f);
    m.command(QM_CMD_MULTIPLY);
    EXPECT_EQ(m.state(), STATE_PLAY);
    EXPECT_EQ(m.length(), 1800u);
    EXPECT_EQ(m.steady(1800, 0.0f), plus(Samples(src.begin(), src.begin() + 1800), 0.25f));
    EXPECT_EQ(m.refusals(), 0u);
    m.command(QM_CMD_UNDO);
    EXPECT_EQ(m.loopAudio(), kOld);
}

TEST(ProcessorLongLoops, InsertRunsOnOverTheLoop) {
    // Three cycles of 800; one more cycle inserted at 500 fits the memory
    // only if the loop's own memory is reused.
    Rig h;
    h.ctl[QM_ROUND] = 1.0f;
    const Samples loop = ramp(2400);
    h.record(loop, 3);
    h.steady(500, 0.0f);
    h.command(QM_CMD_INSERT);
    ASSERT_EQ(h.state(), STATE_INSERT);
    EXPECT_EQ(h.steady(400, 9.0f), Samples(400, 9.0f));
    h.command(QM_CMD_INSERT);  // one cycle, rounded
    h.steady(400, 9.0f);
    EXPECT_EQ(h.state(), STATE_PLAY);
    // Reversed right away, it waits until what follows the insert is copied.
    h.command(QM_CMD_REVERSE);
    EXPECT_EQ(h.ctl[QM_WAITING], 1.0f);
    EXPECT_EQ(h.steady(1900, 0.0f), Samples(loop.begin() + 500, loop.end()));
    h.steady(1, 0.0f);
    EXPECT_EQ(h.inst()->fCurrRate, -1.0f);
    h.steady(3200, 0.0f);

    Samples expect(loop.begin(), loop.begin() + 500);
    expect.insert(expect.end(), 800, 9.0f);
    expect.insert(expect.end(), loop.begin() + 500, loop.end());
    EXPECT_EQ(h.loopAudio(), expect);
    EXPECT_EQ(h.inst()->headLoopChunk->lCycles, 4u);
    EXPECT_EQ(h.refusals(), 0u);
    // Every older version gave way: undo keeps the loop.
    h.command(QM_CMD_UNDO);
    EXPECT_EQ(h.refusals(), 1u);
    EXPECT_EQ(h.loopAudio(), expect);
}

TEST(ProcessorLongLoops, RecordingOverARelayedSourceNeverLeaksIntoUndo) {
    // Right after the insert, what follows it is still copied from the old
    // loop's memory; a new take laid over that memory must not be copied in.
    Rig h;
    h.ctl[QM_ROUND] = 1.0f;
    h.record(ramp(2400), 3);
    h.steady(500, 0.0f);
    h.command(QM_CMD_INSERT);
    h.steady(400, 9.0f);
    h.command(QM_CMD_INSERT);
    h.steady(400, 9.0f);
    h.record(Samples(500, 7.0f));
    h.command(QM_CMD_UNDO);
    ASSERT_EQ(h.length(), 3200u);
    h.steady(6400, 0.0f);
    for (float v : h.loopAudio()) ASSERT_NE(v, 7.0f);
}

TEST(ProcessorLongLoops, InsertsThatCannotFitAreRefusedAndTheLoopPlaysOn) {
    struct {
        uint32_t cycles, at, insertFor;
        uint32_t length;  // afterwards
    } cases[] = {
        {1, 100, 100, 2500},   // one more cycle would pass the whole memory
        {3, 2000, 100, 2400},  // the part in front of the point has nowhere to go
        {3, 100, 2500, 4000},  // grows by two cycles, then the memory is full
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.at);
        Rig h;
        const Samples loop = ramp(c.length == 4000 ? 2400 : c.length);
        h.record(loop, c.cycles);
        h.steady(c.at, 0.0f);
        h.command(QM_CMD_INSERT);
        h.steady(c.insertFor, 9.0f);
        EXPECT_EQ(h.state(), STATE_PLAY);
        EXPECT_EQ(h.refusals(), 1u);
        EXPECT_EQ(h.length(), c.length);
        h.steady(8000, 0.0f);
        Samples expect(loop.begin(), loop.begin() + c.at);
        if (c.length != loop.size()) expect.insert(expect.end(), c.length - loop.size(), 9.0f);
        expect.insert(expect.end(), loop.begin() + c.at, loop.end());
        EXPECT_EQ(h.loopAudio(), c.length == loop.size() ? loop : expect);
    }
}

// 3000 Hz and 40 s: 43.69 s of memory, as at 48 kHz. A loop of 35 s leaves no
// room for a version beside it.
const size_t kLong = 35 * 3000, kPart = 40000;

// A 35 s loop that `cmd` wrote 0.25 into for `ran` samples from its start.
std::function<Samples(Rig&)> changed(int cmd, size_t ran, bool ended) {
    return [=](Rig& h) {
        Samples v = ramp(kLong);
        h.record(v);
        h.command(cmd);
        h.steady(ran, 0.25f);
        if (ended) h.command(cmd);
        const bool mixes = cmd == QM_CMD_OVERDUB || cmd == QM_CMD_MULTIPLY;
        for (size_t i = 0; i < ran; ++i) v[i] = mixes ? v[i] + 0.25f : 0.25f;
        return v;
    };
}

// Three 15 s versions: the third covers the first, so the second is the
// oldest undo reaches. Returns the second.
Samples threeTakes(Rig& h) {
    const size_t n = 15 * 3000;
    h.record(ramp(n));
    h.pass(QM_CMD_OVERDUB, n, 0.25f);
    h.pass(QM_CMD_OVERDUB, n, 0.5f);
    h.steady(1234, 0.0f);
    return plus(ramp(n), 0.25f);
}

// Three cycles of 25 s: an inserted cycle runs on round over the loop.
Samples insertPartWay(Rig& h) {
    const Samples v = ramp(75000);
    h.record(v, 3);
    h.command(QM_CMD_INSERT);
    h.steady(10000, 0.25f);
    Samples want(10000, 0.25f);
    want.resize(25000, 0.0f);  // the rest of the cycle, ended without input
    want.insert(want.end(), v.begin(), v.end());
    return want;
}

// A 5 s loop overdubbed beside itself. Returns the loop before.
Samples shortTake(Rig& h) {
    h.record(ramp(15000));
    h.pass(QM_CMD_OVERDUB, 15000, 0.25f);
    h.steady(1234, 0.0f);
    return ramp(15000);
}

TEST(ProcessorLongLoops, UndoKeepsALoopWhoseEarlierVersionIsGone) {
    struct {
        const char* name;
        std::function<Samples(Rig&)> make;  // the loop heard afterwards; empty: none
        int cmd;
        uint32_t refused;
    } cases[] = {
        {"overdub one cycle", changed(QM_CMD_OVERDUB, kLong, false), QM_CMD_UNDO, 1},
        {"overdub ended", changed(QM_CMD_OVERDUB, kLong, true), QM_CMD_UNDO, 1},
        {"overdub part way", changed(QM_CMD_OVERDUB, kPart, false), QM_CMD_UNDO, 1},
        {"replace part way", changed(QM_CMD_REPLACE, kPart, false), QM_CMD_UNDO, 1},
        {"substitute ended", changed(QM_CMD_SUBSTITUTE, kPart, true), QM_CMD_UNDO, 1},
        {"multiply part way", changed(QM_CMD_MULTIPLY, kPart, false), QM_CMD_UNDO, 1},
        {"multiply ended", changed(QM_CMD_MULTIPLY, kPart, true), QM_CMD_UNDO, 1},
        {"insert part way", insertPartWay, QM_CMD_UNDO, 1},
        {"oldest left, undo", [](Rig& h) { Samples v = threeTakes(h); h.command(QM_CMD_UNDO); return v; },
         QM_CMD_UNDO, 1},
        // A first recording has nothing before it: undo takes it away.
        {"recording, undo", [](Rig& h) { h.record(ramp(kLong)); return Samples(); }, QM_CMD_UNDO, 0},
        {"short loop", shortTake, QM_CMD_UNDO, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig h(3000, "40");
        const Samples want = c.make(h);
        const uint32_t before = h.refusals();
        const size_t at = size_t(h.position());
        h.command(c.cmd);
        EXPECT_EQ(h.refusals() - before, c.refused);
        if (want.empty()) {
            EXPECT_EQ(h.length(), 0u);
            EXPECT_EQ(h.steady(100, 0.5f), Samples(100, 0.5f));
            continue;
        }
        EXPECT_EQ(h.length(), want.size());
        // Where it was, sample for sample.
        Samples heard = h.steady(want.size(), 0.0f);
        EXPECT_EQ(h.state(), STATE_PLAY);
        std::rotate(heard.begin(), heard.end() - at % want.size(), heard.end());
        EXPECT_EQ(heard, want);
    }
    // A refused undo leaves what redo brings back as it was.
    Rig h(3000, "40");
    const Samples second = threeTakes(h);
    h.command(QM_CMD_UNDO), h.command(QM_CMD_UNDO), h.command(QM_CMD_REDO);
    EXPECT_EQ(h.loopAudio(), plus(second, 0.5f));
}

// A 5 s loop that `cmd` began beside itself and ran over its first 5000
// samples, writing 0.25. Returns the loop it makes.
Samples partWayBeside(Rig& h, int cmd) {
    const Samples v = ramp(15000);
    h.record(v);
    h.command(cmd);
    h.steady(5000, 0.25f);
    if (cmd == QM_CMD_MULTIPLY) return plus(v, 0.25f, 0, 5000);
    Samples want(5000, 0.25f);
    want.insert(want.end(), v.begin(), v.end());
    return want;
}

// However far back the memory reaches, undo all leaves no loop, and redo all
// brings back the newest version from its start, sample for sample.
TEST(ProcessorLongLoops, UndoAllEmptiesEveryLoopAndRedoAllBringsBackTheNewest) {
    struct {
        const char* name;
        std::function<Samples(Rig&)> make;  // the newest version
    } cases[] = {
        {"overdub ended", changed(QM_CMD_OVERDUB, kLong, true)},
        {"overdub part way", changed(QM_CMD_OVERDUB, kPart, false)},
        {"multiply part way", changed(QM_CMD_MULTIPLY, kPart, false)},
        // Made whole at once: what was inserted so far, then the rest.
        {"insert part way",
         [](Rig& h) {
             Samples v = insertPartWay(h);
             v.erase(v.begin() + 10000, v.begin() + 25000);
             return v;
         }},
        {"oldest left", [](Rig& h) { threeTakes(h); return plus(ramp(15 * 3000), 0.75f); }},
        {"short multiply part way", [](Rig& h) { return partWayBeside(h, QM_CMD_MULTIPLY); }},
        {"short insert part way", [](Rig& h) { return partWayBeside(h, QM_CMD_INSERT); }},
        {"short loop", [](Rig& h) { return plus(shortTake(h), 0.25f); }},
        {"recording", [](Rig& h) { h.record(ramp(kLong)); return ramp(kLong); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig h(3000, "40");
        const Samples want = c.make(h);
        h.command(QM_CMD_UNDO_ALL);
        EXPECT_EQ(h.length(), 0u);
        EXPECT_EQ(h.steady(3000, 0.5f), Samples(3000, 0.5f));
        h.command(QM_CMD_REDO_ALL);
        EXPECT_EQ(h.state(), STATE_PLAY);
        EXPECT_EQ(h.steady(want.size(), 0.0f), want);
        EXPECT_EQ(h.loopAudio(), want);
        EXPECT_EQ(h.refusals(), 0u);
    }
}

TEST(ProcessorMemory, WholeMemoryIsResidentOnceInstantiated) {
    // 120 s at 48 kHz: 32 MiB, far past the part touched before.
    qmtest::ProcessorHost h(48000, "120");
    const QuillomatI* q = h.inst();
    ASSERT_EQ(q->lBufferSize, 1u << 23);
    const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    const uintptr_t begin = uintptr_t(q->pSampleBuf) & ~(page - 1);
    const uintptr_t end = uintptr_t(q->pSampleBuf + q->lBufferSize);
    std::vector<unsigned char> resident((end - begin + page - 1) / page);
    ASSERT_EQ(mincore(reinterpret_cast<void*>(begin), end - begin, resident.data()), 0);
    size_t missing = 0;
    for (unsigned char r : resident) missing += (r & 1) ? 0 : 1;
    EXPECT_EQ(missing, 0u) << "of " << resident.size() << " pages";
}

} // namespace
