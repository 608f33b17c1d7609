// Throughput of one loop processor instance per state, at 48 kHz in blocks of
// 64 and 256 frames, against a plain copy of the same samples; and the block
// in which undo all falls.
#include "quillomat_internal.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

namespace {

const unsigned long kRate = 48000;
const unsigned long kMaxBlock = 256;

class Instance {
public:
    Instance() : input(kMaxBlock), output(kMaxBlock), syncIn(kMaxBlock, 0.0f), syncOut(kMaxBlock) {
        unsetenv("QM_SAMPLE_TIME");  // the default 40 s
        desc = create_qm_descriptor();
        handle = desc->instantiate(desc, kRate);
        for (int p = 0; p < QM_INPUT; ++p) ctl[p] = 0.0f;
        ctl[QM_DRY] = 1.0f;
        ctl[QM_WET] = 1.0f;
        ctl[QM_FEEDBACK] = 0.9f;
        ctl[QM_RATE] = 1.0f;
        ctl[QM_MULTICTRL] = -1.0f;
        ctl[QM_FADE_SAMPLES] = 64.0f;
        ctl[QM_EIGHTH_PER_CYCLE] = 16.0f;
        for (int p = 0; p < QM_INPUT; ++p) desc->connect_port(handle, p, &ctl[p]);
        desc->connect_port(handle, QM_INPUT, input.data());
        desc->connect_port(handle, QM_OUTPUT, output.data());
        desc->connect_port(handle, QM_SYNC_INPUT, syncIn.data());
        desc->connect_port(handle, QM_SYNC_OUTPUT, syncOut.data());
        desc->activate(handle);
        unsigned seed = 1;
        for (float& v : input) {
            seed = seed * 1664525u + 1013904223u;
            v = float(seed >> 8) / float(1u << 24) - 0.5f;
        }
    }
    ~Instance() {
        desc->cleanup(handle);
        cleanup_qm_descriptor(desc);
    }

    void run(unsigned long n) { desc->run(handle, n); }
    void command(int cmd) {
        ctl[QM_MULTICTRL] = float(cmd);
        run(0);
        ctl[QM_MULTICTRL] = -1.0f;
        run(0);
    }
    void runFor(unsigned long samples) {
        for (unsigned long done = 0; done < samples; done += kMaxBlock) run(kMaxBlock);
    }
    // A fresh history with a recorded loop of this many samples, playing.
    void recordLoop(unsigned long samples) {
        desc->activate(handle);
        command(QM_CMD_RECORD);
        runFor(samples);
        command(QM_CMD_RECORD);
        runFor(samples);  // one pass: the loop plays from its start
    }
    int state() const { return int(ctl[QM_STATE_OUT]); }

    LADSPA_Descriptor* desc;
    LADSPA_Handle handle;
    float ctl[QM_INPUT];
    std::vector<float> input, output, syncIn, syncOut;
};

// Runs blocks of range(0) frames while `keep` holds; `renew` (timing paused)
// brings the instance back into the state when it has left it.
template <typename Keep, typename Renew>
void runState(benchmark::State& st, Instance& in, Keep keep, Renew renew) {
    const unsigned long n = (unsigned long)st.range(0);
    for (auto _ : st) {
        in.run(n);
        benchmark::DoNotOptimize(in.output.data());
        if (!keep()) {
            st.PauseTiming();
            renew();
            st.ResumeTiming();
        }
    }
    st.SetItemsProcessed(int64_t(st.iterations()) * int64_t(n));
}

void BM_Baseline(benchmark::State& st) {
    Instance in;
    in.recordLoop(kRate * 4);
    const QuillomatI* q = static_cast<QuillomatI*>(in.handle);
    const float* mem = q->pSampleBuf;
    const uint32_t mask = q->lBufferSizeMask;
    const unsigned long n = (unsigned long)st.range(0);
    uint32_t pos = 0;
    for (auto _ : st) {
        const float* src = in.input.data();
        float* dst = in.output.data();
        for (unsigned long i = 0; i < n; ++i) dst[i] = src[i] + mem[(pos + i) & mask];
        pos += (uint32_t)n;
        benchmark::DoNotOptimize(dst);
        benchmark::ClobberMemory();
    }
    st.SetItemsProcessed(int64_t(st.iterations()) * int64_t(n));
}

void BM_Idle(benchmark::State& st) {
    Instance in;
    runState(st, in, [] { return true; }, [] {});
}

void BM_Play(benchmark::State& st) {
    Instance in;
    in.recordLoop(kRate * 4);
    runState(st, in, [&] { return in.state() == STATE_PLAY; }, [&] { in.recordLoop(kRate * 4); });
}

void BM_Overdub(benchmark::State& st) {
    Instance in;
    auto start = [&] {
        in.recordLoop(kRate * 4);
        in.command(QM_CMD_OVERDUB);
    };
    start();
    runState(st, in, [&] { return in.state() == STATE_OVERDUB; }, start);
}

void BM_Record(benchmark::State& st) {
    Instance in;
    auto start = [&] {
        in.desc->activate(in.handle);
        in.command(QM_CMD_RECORD);
    };
    start();
    runState(st, in, [&] { return in.state() == STATE_RECORD; }, start);
}

void BM_Multiply(benchmark::State& st) {
    Instance in;
    auto start = [&] {
        in.recordLoop(kRate);
        in.command(QM_CMD_MULTIPLY);
    };
    start();
    runState(st, in, [&] { return in.state() == STATE_MULTIPLY; }, start);
}

// A block of 64 frames in which undo all falls, while the loop plays: the
// whole fade out of what was heard, range(0) samples, is read there.
void BM_UndoAll(benchmark::State& st) {
    Instance in;
    in.ctl[QM_FADE_SAMPLES] = float(st.range(0));
    in.recordLoop(kRate * 4);
    for (auto _ : st) {
        in.command(QM_CMD_UNDO_ALL);
        in.run(64);
        benchmark::DoNotOptimize(in.output.data());
        st.PauseTiming();
        in.command(QM_CMD_REDO_ALL);
        in.runFor(kMaxBlock * 40);  // faded in whole, the fade out done
        st.ResumeTiming();
    }
    st.SetItemsProcessed(int64_t(st.iterations()) * 64);
}

} // namespace

BENCHMARK(BM_Baseline)->Arg(64)->Arg(256);
BENCHMARK(BM_Idle)->Arg(64)->Arg(256);
BENCHMARK(BM_Play)->Arg(64)->Arg(256);
BENCHMARK(BM_Overdub)->Arg(64)->Arg(256);
BENCHMARK(BM_Record)->Arg(64)->Arg(256);
BENCHMARK(BM_Multiply)->Arg(64)->Arg(256);
BENCHMARK(BM_UndoAll)->Arg(64)->Arg(8192);
