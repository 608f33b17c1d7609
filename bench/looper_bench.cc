// One two-channel loop run in 256-frame blocks, playing or overdubbing, at
// rate 1 and at other rates, against a plain copy of the same
// samples into the loop's outputs and the common mix. Items are frames per
// channel. Eight such loops take 8 x (time per block) / 5.33 ms of a core.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "memory_driver.h"
#include "engine.h"
#include "event.h"
#include "looper.h"

namespace {

using Quillomat::nframes_t;

const nframes_t kBlock = 256;
const nframes_t kRate = 48000;


void send(Quillomat::Looper& l, Quillomat::Event::type_t type, Quillomat::Event::command_t cmd,
          Quillomat::Event::control_t ctrl = Quillomat::Event::Unknown, float value = 0.0f) {
    Quillomat::Event ev;
    ev.Type = type;
    ev.Command = cmd;
    ev.Control = ctrl;
    ev.Value = value;
    l.do_event(&ev);
}

void BM_LooperBlock(benchmark::State& state) {
    const bool overdub = state.range(0) != 0;
    const float rate = (float)state.range(1) / 100.0f;

    qmtest::MemoryDriver driver;
    Quillomat::Engine engine;
    engine.initialize(&driver, 2, 10051, "");
    Quillomat::Looper looper(&driver, 0, 2, 10.0f, true);
    if (!looper()) {
        state.SkipWithError("looper not built");
        return;
    }
    float* in[2] = {driver.named("loop0_in_1"), driver.named("loop0_in_2")};
    long frame = 0;
    auto fill = [&] {
        for (int c = 0; c < 2; ++c) {
            for (nframes_t j = 0; j < kBlock; ++j) in[c][j] = 0.3f * std::sin(0.01f * (float)(frame + (long)j) * (float)(c + 1));
        }
        frame += kBlock;
    };
    auto block = [&] {
        for (unsigned int k = 0; k < 2; ++k) {
            float* b = engine.get_common_output_buffer(k);
            std::fill(b, b + kBlock, 0.0f);
        }
        looper.run(0, kBlock);
    };

    // A two-second loop, then the state under test.
    send(looper, Quillomat::Event::type_cmd_hit, Quillomat::Event::RECORD);
    for (int b = 0; b < 2 * (int)kRate / (int)kBlock; ++b) {
        fill();
        block();
    }
    send(looper, Quillomat::Event::type_cmd_hit, Quillomat::Event::RECORD);
    fill();
    block();
    if (overdub) {
        send(looper, Quillomat::Event::type_cmd_hit, Quillomat::Event::OVERDUB);
    }
    send(looper, Quillomat::Event::type_control_change, Quillomat::Event::UNKNOWN, Quillomat::Event::Rate, rate);
    fill();
    block();

    for (auto _ : state) {
        block();
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed((int64_t)state.iterations() * kBlock);
    state.SetLabel(std::string(overdub ? "overdub" : "play") + " rate " + std::to_string(rate).substr(0, 4));
}

// What any loop must do at the least: each channel's input to its own output
// and into the common mix.
void BM_CopyBaseline(benchmark::State& state) {
    std::vector<float> in[2], out[2], mix[2];
    for (int c = 0; c < 2; ++c) {
        in[c].assign(kBlock, 0.0f);
        out[c].assign(kBlock, 0.0f);
        mix[c].assign(kBlock, 0.0f);
        for (nframes_t j = 0; j < kBlock; ++j) in[c][j] = 0.3f * std::sin(0.01f * (float)j * (float)(c + 1));
    }
    for (auto _ : state) {
        for (int c = 0; c < 2; ++c) {
            std::fill(mix[c].begin(), mix[c].end(), 0.0f);
            for (nframes_t j = 0; j < kBlock; ++j) {
                out[c][j] = in[c][j];
                mix[c][j] += in[c][j];
            }
        }
        benchmark::DoNotOptimize(out[0].data());
        benchmark::DoNotOptimize(mix[0].data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed((int64_t)state.iterations() * kBlock);
}

BENCHMARK(BM_CopyBaseline);
BENCHMARK(BM_LooperBlock)
    ->Args({0, 100})
    ->Args({1, 100})
    ->Args({0, 50})
    ->Args({1, 50})
    ->Args({0, 150})
    ->Args({1, 150});

} // namespace
