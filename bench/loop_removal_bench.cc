// A long loop removed while another plays, as a host renders in real time:
// the blocks in which the playing loop had no output (goal: none), and how
// long the long loop took to be freed. The engine thread runs its main loop
// as in the plug-in. Cases: 256-frame blocks at 48 kHz resuming after a
// pause just as the loop is removed, and 4096-frame blocks at 44.1 kHz (93 ms
// apart) throughout.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "engine.h"
#include "event.h"
#include "memory_driver.h"

namespace {

using Quillomat::Engine;
using Quillomat::Event;
using Quillomat::nframes_t;
typedef std::chrono::steady_clock Clock;

struct Host {
    qmtest::MemoryDriver driver;
    Engine engine;
    std::atomic<bool> alive{true};
    std::atomic<bool> freed{false};
    std::thread engine_thread;
    Clock::time_point due = Clock::now();
    const nframes_t rate, block;
    bool ok = false;

    Host(nframes_t r, nframes_t b, float long_secs) : driver(r, b), rate(r), block(b)
    {
        ok = engine.initialize(&driver, 2, 10051, "") && engine.add_loop(1, 1.0f, true) &&
             engine.add_loop(2, long_secs, true);
        engine.LoopRemoved.connect([this] { freed = true; });
        engine_thread = std::thread([this] {
            while (alive) {
                engine.mainloop();
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
        // Loop 0 plays a steady level.
        float* in = driver.named("loop0_in_1");
        std::fill(in, in + block, 0.5f);
        engine.push_midi_command_event(Event::type_cmd_hit, Event::RECORD, 0, 0);
        for (nframes_t f = 0; f < rate / 4; f += block) engine.process(block);
        engine.push_midi_command_event(Event::type_cmd_hit, Event::RECORD, 0, 0);
        std::fill(in, in + block, 0.0f);
        for (int k = 0; k < 4; ++k) engine.process(block);
    }
    ~Host()
    {
        alive = false;
        engine.quit(true);
        engine_thread.join();
    }
    // One block at the pace of real time; whether loop 0 was heard in it.
    bool block_heard()
    {
        std::this_thread::sleep_until(due);
        due += std::chrono::microseconds(1000000ull * block / rate);
        float* out = driver.named("loop0_out_1");
        std::fill(out, out + block, 0.0f);
        engine.process(block);
        return std::any_of(out, out + block, [](float v) { return v != 0.0f; });
    }
};

void removal(benchmark::State& state, nframes_t rate, nframes_t block, bool pause)
{
    for (auto _ : state) {
        Host host(rate, block, (float)state.range(0));
        if (!host.ok) {
            state.SkipWithError("engine not set up");
            return;
        }
        for (int k = 0; k < 10; ++k) host.block_heard();
        int index = 1;
        if (pause) {
            // The removal comes while the host pauses; audio resumes as the
            // engine thread takes it on.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            host.engine.remove_loop_request(index);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            host.due = Clock::now();
        } else {
            host.engine.remove_loop_request(index);
        }
        const Clock::time_point t0 = Clock::now();
        double freed_ms = -1;
        int silent = 0, blocks = 0, after = 0;
        while (after < 20 && blocks < 5000) {
            silent += host.block_heard() ? 0 : 1;
            ++blocks;
            if (host.freed) {
                if (freed_ms < 0) freed_ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
                ++after;
            }
        }
        state.counters["silent_blocks"] = silent;
        state.counters["blocks"] = blocks;
        state.counters["freed_ms"] = freed_ms;
    }
}

void BM_LongLoopRemovedAsAudioResumes(benchmark::State& state) { removal(state, 48000, 256, true); }
void BM_LongLoopRemovedBetweenLargeBlocks(benchmark::State& state) { removal(state, 44100, 4096, false); }

BENCHMARK(BM_LongLoopRemovedAsAudioResumes)->Arg(600)->Arg(2400)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LongLoopRemovedBetweenLargeBlocks)->Arg(600)->Arg(2400)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
