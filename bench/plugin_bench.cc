// A render call of the default plug-in (one loop of 2 channels, 256-frame
// slices at 48 kHz, the loop playing) through its entry point, beside the
// engine's block routine alone on the benchmarks' memory driver with the
// same loop playing.
// The counter "vs_engine" of the render benchmark is its cost over the
// engine block's in the same run; the plug-in's own layer is that minus 1.
#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

#include "memory_driver.h"
#include "engine.h"
#include "event.h"
#include "plugin_rig.h"

namespace {

const UInt32 kBlock = 256;
const int kTakeBlocks = 150;  // a loop of 0.8 s

// The loop recorded from the tone, then playing.
void take_engine_loop(Quillomat::Engine& engine, qmtest::MemoryDriver& driver, uint64_t& frame)
{
    auto block = [&] {
        for (const char* name : {"common_in_1", "common_in_2"}) {
            float* b = driver.named(name);
            for (UInt32 j = 0; j < kBlock; ++j) b[j] = qmtest::PluginInput::value(0, (double)(frame + j));
        }
        engine.process(kBlock);
        frame += kBlock;
    };
    engine.push_command_event(Quillomat::Event::type_cmd_hit, Quillomat::Event::RECORD, 0);
    for (int b = 0; b < kTakeBlocks; ++b) block();
    engine.push_command_event(Quillomat::Event::type_cmd_hit, Quillomat::Event::RECORD, 0);
    for (int b = 0; b < 4; ++b) block();
}

void BM_EngineBlock(benchmark::State& state)
{
    qmtest::MemoryDriver driver(48000, kBlock);
    Quillomat::Engine engine;
    engine.set_ignore_quit(true);
    if (!engine.initialize(&driver, 2, 10051, "") || !engine.add_loop(2, 40.0f, true)) {
        state.SkipWithError("engine did not start");
        return;
    }
    uint64_t frame = 0;
    take_engine_loop(engine, driver, frame);
    for (auto _ : state) {
        engine.process(kBlock);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    engine.cleanup();
}
BENCHMARK(BM_EngineBlock)->Unit(benchmark::kMicrosecond);

void BM_PluginRender(benchmark::State& state)
{
    qmtest::PluginRig rig;
    rig.configure(2, kBlock);
    if (rig.restore_blocks({{"QMMidiBindings", "0 n 60  note record 0  0 1  \n"}}) != noErr ||
        AudioUnitInitialize(rig.unit) != noErr) {
        state.SkipWithError("plug-in did not start");
        return;
    }
    for (int b = 0; b < kTakeBlocks + 4; ++b) {
        if (b == 0 || b == kTakeBlocks) MusicDeviceMIDIEvent(rig.unit, 0x90, 60, 100, 0);
        rig.render(kBlock);
    }
    // The host's input from here on is silence, as the engine's inputs hold
    // still: neither side pays for making a tone.
    rig.input.live = false;
    for (auto _ : state) {
        rig.render(kBlock);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PluginRender)->Unit(benchmark::kMicrosecond);

} // namespace

// Runs both and reports the render's cost relative to the engine block.
int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    struct Reporter : benchmark::ConsoleReporter {
        std::map<std::string, double> engine_ns;
        void ReportRuns(const std::vector<Run>& runs) override
        {
            std::vector<Run> copy = runs;
            for (Run& r : copy) {
                // Single runs and means; the spread is not a time.
                if (r.run_type == Run::RT_Aggregate && r.aggregate_name != "mean" && r.aggregate_name != "median")
                    continue;
                const double ns = r.GetAdjustedRealTime();
                if (r.run_name.function_name.find("EngineBlock") != std::string::npos) engine_ns[r.aggregate_name] = ns;
                auto it = engine_ns.find(r.aggregate_name);
                if (r.run_name.function_name.find("PluginRender") != std::string::npos && it != engine_ns.end())
                    r.counters["vs_engine"] = benchmark::Counter(ns / it->second);
            }
            ConsoleReporter::ReportRuns(copy);
        }
    } reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
