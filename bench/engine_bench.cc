// The engine's block routine with 8 playing loops of 2 channels, 256-frame
// blocks at 48 kHz, at rate 1, 1.5 and 0.5; beside it the same loops run without
// the engine, the engine with no loops, and a plain copy of the block's audio
// as the baseline. Items are blocks; a block lasts 5333 us of real time.
//
// Instructions per block, which a shared machine cannot blur: run under
//   valgrind --tool=callgrind --toggle-collect='*timed_block*' engine_bench
//     --benchmark_filter=BM_EngineBlock/8/150
// and divide the count by the iterations the benchmark reports.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "memory_driver.h"
#include "engine.h"
#include "event.h"
#include "looper.h"

namespace {

using Quillomat::Engine;
using Quillomat::Event;
using Quillomat::nframes_t;

const nframes_t kBlock = 256;
const nframes_t kRate = 48000;
const int kLoops = 8;
const int kChans = 2;


// An engine with eight two-second loops playing at the given rate.
struct Rig {
    qmtest::MemoryDriver driver;
    Engine engine;
    bool ok = false;

    Rig(int loops, float rate) {
        ok = engine.initialize(&driver, 2, 10051, "");
        for (int l = 0; l < loops; ++l) ok = ok && engine.add_loop(kChans, 10.0f, true);
        driver.fill_inputs();
        engine.process(kBlock);
        if (loops == 0) return;
        engine.push_midi_command_event(Event::type_cmd_hit, Event::RECORD, -1, 0);
        for (nframes_t f = 0; f < 2 * kRate; f += kBlock) engine.process(kBlock);
        engine.push_midi_command_event(Event::type_cmd_hit, Event::RECORD, -1, 0);
        engine.push_midi_control_event(Event::type_control_change, Event::Rate, rate, -1, 0);
        for (int b = 0; b < 4; ++b) engine.process(kBlock);
        ok = ok && engine.get_control_value(Event::State, 0) == 4.0f;
    }
};

// The measured work alone, for an instruction count to find.
[[gnu::noinline]] void timed_block(Engine& engine) { engine.process(kBlock); }

void BM_EngineBlock(benchmark::State& state) {
    const int loops = (int)state.range(0);
    const float rate = (float)state.range(1) / 100.0f;
    Rig rig(loops, rate);
    if (!rig.ok) {
        state.SkipWithError("engine not set up");
        return;
    }
    for (auto _ : state) {
        timed_block(rig.engine);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed((int64_t)state.iterations());
    state.SetLabel(std::to_string(loops) + " loops, rate " + std::to_string(rate).substr(0, 4));
}

// The same loops, run the way the engine runs them but without it: what the
// engine adds is the difference.
void BM_LoopersAlone(benchmark::State& state) {
    const float rate = (float)state.range(0) / 100.0f;
    qmtest::MemoryDriver driver;
    Engine engine;
    engine.initialize(&driver, 2, 10051, "");
    std::vector<std::unique_ptr<Quillomat::Looper>> loopers;
    for (int l = 0; l < kLoops; ++l) loopers.emplace_back(new Quillomat::Looper(&driver, (unsigned)l, kChans, 10.0f, true));
    driver.fill_inputs();
    auto send = [&](Event::type_t t, Event::command_t c, Event::control_t ctl, float v) {
        for (auto& l : loopers) {
            Event ev;
            ev.Type = t;
            ev.Command = c;
            ev.Control = ctl;
            ev.Value = v;
            l->do_event(&ev);
        }
    };
    auto block = [&] {
        for (unsigned int k = 0; k < 2; ++k) std::memset(engine.get_common_output_buffer(k), 0, kBlock * sizeof(float));
        for (auto& l : loopers) l->run(0, kBlock);
    };
    send(Event::type_cmd_hit, Event::RECORD, Event::Unknown, 0.0f);
    for (nframes_t f = 0; f < 2 * kRate; f += kBlock) block();
    send(Event::type_cmd_hit, Event::RECORD, Event::Unknown, 0.0f);
    send(Event::type_control_change, Event::UNKNOWN, Event::Rate, rate);
    for (int b = 0; b < 4; ++b) block();
    for (auto _ : state) {
        block();
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed((int64_t)state.iterations());
}

// Moving the block's audio once: every loop channel and common channel in to out.
void BM_CopyBaseline(benchmark::State& state) {
    const int chans = kLoops * kChans + 2;
    std::vector<float> in(chans * kBlock), out(chans * kBlock);
    for (size_t i = 0; i < in.size(); ++i) in[i] = 0.001f * (float)(i % 977);
    for (auto _ : state) {
        for (int c = 0; c < chans; ++c) std::memcpy(&out[c * kBlock], &in[c * kBlock], kBlock * sizeof(float));
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed((int64_t)state.iterations());
}

BENCHMARK(BM_CopyBaseline);
BENCHMARK(BM_EngineBlock)->Args({0, 100})->Args({kLoops, 100})->Args({kLoops, 150})->Args({kLoops, 50});
BENCHMARK(BM_LoopersAlone)->Arg(100)->Arg(150);

} // namespace
