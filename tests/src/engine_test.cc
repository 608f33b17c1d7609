#include "engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "alloc_counter.h"
#include "engine_fixture.h"
#include "event_nonrt.h"
#include "memory_driver.h"

using namespace Quillomat;
using qmtest::EngineRig;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// First frame of a block whose value falls below its start (a dry level
// turned down there), or -1.
int first_drop(const float* buf) {
    for (int j = 0; j < (int)EngineRig::kBlock; ++j) {
        if (buf[j] < 1.0f) return j;
    }
    return -1;
}

void fill(float* buf, float v) { std::fill(buf, buf + EngineRig::kBlock, v); }

// ---------------------------------------------------------------------------
// Set-up

TEST(EngineSetup, AsksForCommonPortsInOrderAndKeepsRefusedSlots) {
    qmtest::TestDriver driver(48000, 256);
    driver.refuse_port("common_in_1");
    Engine engine;
    ASSERT_TRUE(engine.initialize(&driver, 2, -1, ""));  // no OSC port: nothing from outside
    EXPECT_EQ(driver.requests(), (std::vector<std::string>{"in:common_in_1", "out:common_out_1", "in:common_in_2",
                                                           "out:common_out_2"}));
    port_id_t id = 0;
    EXPECT_FALSE(engine.get_common_input(0, id));
    // Channel 2 stays channel 2: its input is common_in_2, not moved up.
    fill(driver.input("common_in_2"), 0.5f);
    engine.process(256);
    EXPECT_EQ(driver.output("common_out_1")[10], 0.0f);
    EXPECT_EQ(driver.output("common_out_2")[10], 0.5f);
    EXPECT_EQ(engine.get_common_input_buffer(2), nullptr);
}

TEST(EngineSetup, FailsWithoutADriverAndQuitsOnlyWhenAllowed) {
    qmtest::TestDriver driver;
    driver.set_initialize_result(false);
    Engine refused;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(refused.initialize(&driver, 2, 10051, ""));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "cannot connect to audio driver\n");
    EXPECT_FALSE(refused.is_ok());

    EngineRig rig;
    ASSERT_TRUE(rig.engine.is_ok());
    rig.engine.set_ignore_quit(true);
    rig.engine.quit(false);
    EXPECT_TRUE(rig.engine.is_ok());
    rig.engine.quit(true);
    EXPECT_FALSE(rig.engine.is_ok());
}

// ---------------------------------------------------------------------------
// Events at their frames

struct Placement {
    const char* name;
    std::vector<std::pair<int, long>> pushes;  // (loop, MIDI frame) in push order
    std::vector<int> landing;                  // frame each loop's dry level drops at
};

TEST(EngineEvents, MidiEventsLandOnTheirFrames) {
    const std::vector<Placement> cases = {
        {"on its frame", {{0, 100}}, {100, -1}},
        {"two loops", {{0, 40}, {1, 200}}, {40, 200}},
        {"late after a later one", {{1, 200}, {0, 40}}, {200, 200}},
        {"past the block", {{0, 300}}, {0, -1}},
        {"no such loop", {{3, 10}}, {-1, -1}},
    };
    for (const Placement& c : cases) {
        SCOPED_TRACE(c.name);
        EngineRig rig;
        ASSERT_TRUE(rig.add() && rig.add());
        rig.run();
        for (int l = 0; l < 2; ++l) fill(rig.loop_in(l), 1.0f);
        for (auto& p : c.pushes) {
            EXPECT_TRUE(rig.engine.push_midi_control_event(Event::type_control_change, Event::DryLevel, 0.0f,
                                                           (int8_t)p.first, p.second));
        }
        rig.run();
        for (int l = 0; l < 2; ++l) EXPECT_EQ(first_drop(rig.loop_out(l)), c.landing[l]) << "loop " << l;
    }
}

TEST(EngineEvents, MidiGoesFirstOnEqualFramesAndAFullQueueRefuses) {
    EngineRig rig;
    ASSERT_TRUE(rig.add());
    // The first block has no measured rate yet: a stamped event lands on 0.
    rig.engine.push_control_event(Event::type_control_change, Event::DryLevel, 0.5f, 0, 9000);
    rig.engine.push_midi_control_event(Event::type_control_change, Event::DryLevel, 0.25f, 0, 0);
    rig.run(2);
    EXPECT_EQ(rig.engine.get_control_value(Event::DryLevel, 0), 0.5f);

    // The OSC change is also noticed for the engine thread, with its sender.
    Event ev;
    ASSERT_TRUE(rig.engine.pop_update_event(ev));
    EXPECT_EQ(ev.source, 9000);
    EXPECT_EQ(ev.Value, 0.5f);

    int pushed = 0;
    while (rig.engine.push_command_event(Event::type_cmd_hit, Event::RECORD, 0)) ++pushed;
    EXPECT_EQ(pushed, 1023);
}

// ---------------------------------------------------------------------------
// Common levels and meters

TEST(EngineLevels, GlobalGainsRampAndLandOnTheirTargets) {
    EngineRig rig;
    float* in = rig.driver.input("common_in_1");
    float* out = rig.driver.output("common_out_1");
    fill(in, 1.0f);
    rig.run();
    EXPECT_EQ(out[0], 1.0f);
    // Unity input gain: the loopers read the host's buffer itself.
    EXPECT_EQ(rig.engine.get_common_input_buffer(0), in);

    rig.engine.push_midi_control_event(Event::type_global_control_change, Event::DryLevel, 0.5f, -2, 0);
    rig.engine.push_midi_control_event(Event::type_global_control_change, Event::InputGain, 0.0f, -2, 0);
    rig.engine.push_midi_control_event(Event::type_global_control_change, Event::WetLevel, kNaN, -2, 0);
    rig.run();
    EXPECT_FLOAT_EQ(out[0], 1.0f - 0.5f / 256.0f);
    EXPECT_EQ(out[255], 0.5f);
    EXPECT_EQ(rig.engine.get_control_value(Event::DryLevel, -2), 0.5f);
    EXPECT_EQ(rig.engine.get_control_value(Event::WetLevel, -2), 1.0f);
    // The input gain ramps down over the next block. Then what the loopers
    // hear is silence; the dry path is not.
    rig.run(2);
    EXPECT_EQ(rig.engine.get_control_value(Event::InputGain, -2), 0.0f);
    const float* heard = rig.engine.get_common_input_buffer(0);
    ASSERT_NE(heard, in);
    EXPECT_EQ(heard[128], 0.0f);
    EXPECT_EQ(out[128], 0.5f);

    // Two seconds after the last loud block the input meter is 60 dB down.
    EXPECT_EQ(rig.engine.get_control_value(Event::InPeakMeter, -2), 1.0f);
    // As "/get" reads them; they are not set.
    EXPECT_EQ(rig.global("in_peak_meter"), 1.0f);
    EXPECT_GT(rig.global("out_peak_meter"), 0.5f);
    EXPECT_FALSE(rig.engine.set_global_param("in_peak_meter", 0.5f));
    fill(in, 0.0f);
    rig.run(375);
    EXPECT_NEAR(rig.engine.get_control_value(Event::InPeakMeter, -2), 1e-3f, 2e-4f);
}

TEST(EngineLevels, OnlyFiniteSamplesReachTheHost) {
    EngineRig rig;
    ASSERT_TRUE(rig.engine.set_global_param("dry", 1e10f));
    fill(rig.driver.input("common_in_1"), 1e30f);
    rig.run(2);
    const float* out = rig.driver.output("common_out_1");
    for (int j = 0; j < 256; ++j) ASSERT_TRUE(std::isfinite(out[j])) << j;
}

// ---------------------------------------------------------------------------
// Sync sources

std::vector<long> every(long first, long step, long until) {
    std::vector<long> v;
    for (long f = first; f < until; f += step) v.push_back(f);
    return v;
}

TEST(EngineSync, InternalTempoPulsesEveryEighthAcrossBlockEdges) {
    EngineRig rig;
    ASSERT_TRUE(rig.engine.set_global_param("tempo", 120.0f));
    ASSERT_TRUE(rig.engine.set_global_param("sync_source", (float)Engine::InternalTempoSync));
    rig.run(1600);  // 409600 frames; a pulse is due on the first frame of block 1500
    EXPECT_EQ(rig.pulses, every(12000, 12000, rig.frame));
    EXPECT_GE(rig.beats, 16);
    EXPECT_LE(rig.beats, 18);

    // Unquantized loop 0: every frame is a sync point.
    ASSERT_TRUE(rig.add());
    rig.run();
    rig.pulses.clear();
    rig.run();
    EXPECT_EQ(rig.pulses.size(), 256u);
}

TEST(EngineSync, NoSyncIsAllPulsesAndLoopsGetNoTempo) {
    EngineRig rig;
    ASSERT_TRUE(rig.add());
    ASSERT_TRUE(rig.engine.set_global_param("tempo", 90.0f));
    rig.run();
    EXPECT_EQ(rig.pulses.size(), 256u);
    EXPECT_EQ(rig.global("tempo"), 90.0f);
    EXPECT_EQ(rig.engine.get_control_value(Event::TempoInput, 0), 0.0f);
    ASSERT_TRUE(rig.engine.set_global_param("sync_source", (float)Engine::InternalTempoSync));
    rig.run();
    EXPECT_EQ(rig.engine.get_control_value(Event::TempoInput, 0), 90.0f);
}

TEST(EngineSync, TapTempoAveragesTapsAndRephases) {
    EngineRig rig;
    ASSERT_TRUE(rig.engine.set_global_param("sync_source", (float)Engine::InternalTempoSync));
    const std::vector<double> expect = {110.0, 120.0, 120.0, 120.0};  // the first tap only sets the phase
    for (size_t t = 0; t < expect.size(); ++t) {
        const long tap = 24000 * (long)(t + 1);
        rig.run((int)((tap - rig.frame) / 256));
        rig.engine.push_midi_control_event(Event::type_global_control_change, Event::TapTempo, 0.0f, -2,
                                           tap - rig.frame);
        rig.run();
        EXPECT_EQ(rig.global("tempo"), expect[t]);
        EXPECT_EQ(rig.engine.take_tempo_changed(), t > 0);
    }
    rig.run(200);
    EXPECT_EQ(rig.pulses_between(96001, 140000), (std::vector<long>{108000, 120000, 132000}));
}

TEST(EngineSync, MidiClockPulsesEveryTwelveTicksAndSetsTheTempo) {
    EngineRig rig;
    EXPECT_FALSE(rig.engine.push_sync_event(Event::MidiTick, 0));  // not the sync source yet
    ASSERT_TRUE(rig.engine.set_global_param("sync_source", (float)Engine::MidiClockSync));
    rig.run(3);
    rig.run_midi_clock(1000, 1000, 130000);  // 120 bpm: 24 ticks a beat of 24000 frames
    EXPECT_EQ(rig.pulses, every(1000, 12000, 130000));
    EXPECT_EQ(rig.global("tempo"), 120.0f);
    EXPECT_GE(rig.beats, 5);
}

TEST(EngineSync, HostTransportPulsesOnlyWhileRolling) {
    struct Case {
        int rolling;
        double bpm;
        size_t pulses;
        float tempo;
    };
    // 60 blocks: the eighths at frames 0 and 12000.
    for (const Case& c : std::vector<Case>{{1, 120.0, 2, 120.0f}, {0, 100.0, 0, 100.0f}, {-1, 100.0, 0, 110.0f}}) {
        SCOPED_TRACE(c.rolling);
        EngineRig rig;
        rig.transport_rolling = c.rolling;
        rig.transport_bpm = c.bpm;
        ASSERT_TRUE(rig.engine.set_global_param("sync_source", (float)Engine::JackSync));
        rig.run(60);
        EXPECT_EQ(rig.pulses.size(), c.pulses);
        if (c.pulses) {
            EXPECT_EQ(rig.pulses, (std::vector<long>{0, 12000}));
        }
        EXPECT_EQ(rig.global("tempo"), c.tempo);
    }
}

TEST(EngineSync, AMasterLoopSetsTheTempoOnceRecorded) {
    EngineRig rig;
    EXPECT_FALSE(rig.engine.set_global_param("sync_source", 1.0f));  // no loop yet
    ASSERT_TRUE(rig.add(1, 4.0f) && rig.add(1, 4.0f));
    ASSERT_TRUE(rig.engine.set_global_param("sync_source", 1.0f));
    rig.run();
    fill(rig.loop_in(0), 0.5f);
    rig.engine.push_midi_command_event(Event::type_cmd_hit, Event::RECORD, 0, 0);
    rig.run(100);
    ASSERT_TRUE(rig.engine.set_global_param("tempo", 100.0f));
    rig.run(87);
    EXPECT_EQ(rig.global("tempo"), 100.0f);  // recording: the master has no length yet
    rig.engine.push_midi_command_event(Event::type_cmd_hit, Event::RECORD, 0, 128);
    rig.run(4);
    // A one-second cycle of 16 eighths.
    EXPECT_NEAR(rig.global("tempo"), 480.0f, 2.0f);
    EXPECT_TRUE(rig.engine.take_tempo_changed());

    // Loop 1 follows the master's sync output: synced, it starts recording
    // where the master's cycle starts again.
    rig.engine.push_midi_control_event(Event::type_control_change, Event::Quantize, 1.0f, 0, 0);
    rig.engine.push_midi_control_event(Event::type_control_change, Event::SyncMode, 1.0f, 1, 0);
    rig.run(2);
    rig.engine.push_midi_command_event(Event::type_cmd_hit, Event::RECORD, 1, 0);
    int waited = 0;
    for (; waited < 400 && rig.engine.get_control_value(Event::State, 1) != 2.0f; ++waited) rig.run();
    EXPECT_GT(waited, 100);
    // The master's cycle began again within the block.
    EXPECT_LE(rig.engine.get_control_value(Event::LoopPosition, 0), 256.0f / 48000.0f + 1e-6f);
}

// ---------------------------------------------------------------------------
// Loops

TEST(EngineLoops, NewLoopsCopyLoopZeroAndSessionLoopsGetTheCycle) {
    EngineRig rig;
    ASSERT_TRUE(rig.add());
    EXPECT_EQ(rig.engine.get_control_value(Event::Quantize, 0), 0.0f);
    rig.engine.push_midi_control_event(Event::type_control_change, Event::Quantize, 2.0f, 0, 0);
    rig.engine.push_midi_control_event(Event::type_control_change, Event::Round, 1.0f, 0, 0);
    rig.run();
    ASSERT_TRUE(rig.add());
    EXPECT_EQ(rig.engine.get_control_value(Event::Quantize, 1), 2.0f);
    EXPECT_EQ(rig.engine.get_control_value(Event::Round, 1), 1.0f);

    ASSERT_TRUE(rig.engine.set_global_param("eighth_per_cycle", 8.0f));
    ASSERT_TRUE(rig.engine.add_loop(new Looper(&rig.driver, 2, 1, 0.5f, true)));
    EXPECT_EQ(rig.engine.get_control_value(Event::EighthPerCycleLoop, 2), 8.0f);
    rig.run();
    EXPECT_EQ(rig.engine.get_control_value(Event::EighthPerCycleLoop, 0), 8.0f);
}

// A take stops where the memory ends and plays; the next press is a new
// take. The free memory told is the whole of it: a take may use it all.
TEST(EngineLoops, ATakeThatFillsTheMemoryStopsThere) {
    EngineRig rig;
    ASSERT_TRUE(rig.add(1, 0.5f));
    const float total = 32768.0f / 48000.0f;
    auto value = [&](Event::control_t c) { return rig.engine.get_control_value(c, 0); };
    rig.engine.push_midi_command_event(Event::type_cmd_hit, Event::RECORD, 0, 0);
    rig.run(200);  // 1.07 s
    EXPECT_EQ(value(Event::State), 4.0f);
    EXPECT_NEAR(value(Event::LoopLength), total, 256.0f / 48000.0f);
    EXPECT_EQ(value(Event::FreeTime), total);
    EXPECT_EQ(value(Event::TotalTime), total);
    rig.engine.push_midi_command_event(Event::type_cmd_hit, Event::RECORD, 0, 0);
    rig.run();
    EXPECT_EQ(value(Event::State), 2.0f);
}

TEST(EngineLoops, AddRequestsRefuseAbsurdSizes) {
    struct Case {
        int chans;
        float secs;
        bool added;
        const char* range = "";  // the range the refusal names
    };
    EngineRig rig;
    ASSERT_TRUE(rig.engine.set_default_loop_secs(0.25f));
    const char* secs = "more than 0 and at most 3600 are possible";
    const std::vector<Case> cases = {
        {0, 0.0f, true},          {1, 0.25f, true},         {-1, 1.0f, false, "1 to 64"}, {65, 1.0f, false, "1 to 64"},
        {1, kNaN, false, secs},   {1, kInf, false, secs},   {1, -2.0f, false, secs},      {1, 1e9f, false, secs}};
    unsigned int count = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.chans) + " channels, " + std::to_string(c.secs) + " s");
        testing::internal::CaptureStderr();
        EXPECT_EQ(rig.engine.add_loop_request(c.chans, c.secs, true), c.added);
        const std::string said = testing::internal::GetCapturedStderr();
        count += c.added ? 1 : 0;
        EXPECT_EQ(rig.engine.loop_count(), count);
        EXPECT_EQ(said.empty(), c.added) << said;
        EXPECT_NE(said.find(c.range), std::string::npos) << said;
    }
    EXPECT_EQ(rig.engine.get_control_value(Event::ChannelCount, 0), 2.0f);  // the default
    EXPECT_FALSE(rig.engine.set_default_channels(-4));
}

TEST(EngineLoops, EachRemovedLoopIsDeletedOnce) {
    EngineRig rig;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(rig.add());
    rig.run();

    int index = -1;
    ASSERT_TRUE(rig.engine.remove_loop_request(index));
    EXPECT_EQ(index, 2);
    ASSERT_TRUE(rig.engine.remove_loop_request(index));  // the same loop again
    EXPECT_EQ(rig.engine.loop_count(), 3u);              // still listed until handed back
    index = 7;
    EXPECT_FALSE(rig.engine.remove_loop_request(index));
    index = 0;
    ASSERT_TRUE(rig.engine.remove_loop_request(index));
    rig.engine.remove_all_loops();  // a session replacing them, with removals under way
    EXPECT_EQ(rig.engine.loop_count(), 0u);
    rig.settle();
    EXPECT_EQ(rig.removed_signals, 3);
    rig.settle();
    EXPECT_EQ(rig.removed_signals, 3);
}

TEST(EngineLoops, EachRequestForTheLastLoopTakesAnotherOne) {
    struct Case {
        int loops, requests;
    };
    for (const Case c : {Case{5, 3}, Case{3, 5}, Case{128, 140}}) {
        SCOPED_TRACE(std::to_string(c.requests) + " requests for " + std::to_string(c.loops) + " loops");
        EngineRig rig;
        for (int i = 0; i < c.loops; ++i) ASSERT_TRUE(rig.add(1, 0.05f));
        for (int b = 0; b < 10; ++b) rig.run();  // all of them live
        // Back to back, before any block hands a loop back.
        for (int r = 0; r < c.requests; ++r) {
            int index = -1;
            const bool named = rig.engine.remove_loop_request(index);
            const int expect = r < c.loops ? c.loops - 1 - r : -1;
            EXPECT_EQ(named, r < c.loops);
            EXPECT_EQ(index, expect);
        }
        const int left = std::max(0, c.loops - c.requests);
        for (int k = 0; k < 20 && rig.removed_signals < c.loops - left; ++k) rig.settle();
        EXPECT_EQ(rig.engine.loop_count(), (unsigned)left);
        EXPECT_EQ(rig.removed_signals, c.loops - left);
    }
}

TEST(EngineLoops, BurstsBeyondTheQueueAndTheLoopLimit) {
    EngineRig rig;
    testing::internal::CaptureStderr();
    for (unsigned int i = 0; i < Engine::MaxLoops; ++i) ASSERT_TRUE(rig.add(1, 0.05f));
    EXPECT_FALSE(rig.add(1, 0.05f));
    EXPECT_FALSE(testing::internal::GetCapturedStderr().empty());
    // 128 additions wait their turn for the audio thread, 15 at a time.
    for (int b = 0; b < 10; ++b) rig.settle();
    rig.engine.remove_all_loops();
    rig.run();  // 15 loopers handed back, not deleted yet
    ASSERT_TRUE(rig.add(1, 0.05f));  // hands over 15 more removals
    rig.run();  // no room to hand those back: they stay until there is
    for (int b = 0; b < 20; ++b) rig.settle();
    EXPECT_EQ(rig.removed_signals, (int)Engine::MaxLoops);
    EXPECT_EQ(rig.engine.loop_count(), 1u);
}

// Out of memory, the loops removed are freed all the same, whether a block
// handed them back or the engine took them itself while no block ran, also
// more than one batch of them; only the news that they went is lost. (The
// test driver would allocate as their ports go.)
TEST(EngineLoops, RemovedLoopsAreFreedWhenMemoryRunsOut) {
    struct Case {
        int loops;
        bool block;
    };
    for (const Case c : {Case{3, true}, Case{3, false}, Case{100, false}}) {
        SCOPED_TRACE(std::to_string(c.loops) + (c.block ? " handed back" : " taken"));
        qmtest::MemoryDriver driver(EngineRig::kRate, EngineRig::kBlock);
        Engine engine;
        ASSERT_TRUE(engine.initialize(&driver, 2, 10051, ""));
        for (int i = 0; i < c.loops; ++i) ASSERT_TRUE(engine.add_loop(1, 0.05f, true));
        if (c.block) engine.process(EngineRig::kBlock);
        engine.remove_all_loops();
        if (c.block) engine.process(EngineRig::kBlock);
        engine.LoopRemoved.connect([] { throw std::bad_alloc(); });
        size_t freed = 0;
        {
            qmtest::AllocationLimit none(0);
            EXPECT_NO_THROW(freed = engine.delete_released_loops());
        }
        EXPECT_EQ(freed, (size_t)c.loops);
        EXPECT_EQ(engine.memory_held(), 0u);
    }
}

// A host may split its period into blocks of any size: a short block before
// or after a long one must not make its usual pause between periods look
// like a stop, in which the engine side would take over the audio thread's
// part of loop removals.
TEST(EngineLoops, IdleMeansSeveralOfTheLongestRecentBlockPeriods) {
    const nframes_t kPeriod = 4096;
    const auto period = std::chrono::duration<double>((double)(kPeriod - 32) / EngineRig::kRate);
    struct Case {
        const char* what;
        std::vector<nframes_t> blocks;  // one period of the host, again and again
        bool longer_than_a_period;
    };
    const Case cases[] = {{"32 frames, then the rest", {32, kPeriod - 32}, true},
                          {"the rest, then 32 frames", {kPeriod - 32, 32}, true},
                          {"blocks of 256 frames", {256}, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EngineRig rig;
        rig.driver.set_buffersize(kPeriod);
        rig.engine.buffersize_changed(kPeriod);
        for (int k = 0; k < 20; ++k) {
            for (nframes_t frames : c.blocks) rig.engine.process(frames);
        }
        EXPECT_EQ(rig.engine.audio_idle_after() > 2 * period, c.longer_than_a_period);
    }
}

TEST(EngineLoops, RemovingTheMasterAndResizingRepointTheFollowers) {
    // Under AddressSanitizer a follower reading a freed sync buffer fails here.
    EngineRig rig;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(rig.add());
    ASSERT_TRUE(rig.engine.set_global_param("sync_source", 2.0f));
    // Synced loops that play read their sync input on every frame.
    rig.engine.push_midi_control_event(Event::type_control_change, Event::SyncMode, 1.0f, -1, 0);
    rig.engine.push_midi_command_event(Event::type_cmd_hit, Event::RECORD, -1, 0);
    rig.run(20);
    rig.engine.push_midi_command_event(Event::type_cmd_hit, Event::RECORD, -1, 0);
    rig.run(8);
    ASSERT_EQ(rig.engine.get_control_value(Event::State, 0), 4.0f);
    int index = 1;
    ASSERT_TRUE(rig.engine.remove_loop_request(index));
    rig.settle();
    EXPECT_EQ(rig.removed_signals, 1);
    rig.run(2);

    ASSERT_TRUE(rig.engine.set_global_param("sync_source", 1.0f));
    rig.run();
    rig.driver.set_buffersize(512);
    rig.engine.buffersize_changed(512);
    fill(rig.loop_in(0), 0.5f);
    for (int b = 0; b < 4; ++b) rig.engine.process(512);
    EXPECT_EQ(rig.engine.get_internal_sync_buf()[511], 1.0f);
}

// ---------------------------------------------------------------------------
// Global parameters

TEST(EngineGlobals, SetsAreCheckedAndGetsReadTheCurrentValue) {
    struct Case {
        const char* name;
        float value;
        bool accepted;
        float stored;  // read back by name after a block
    };
    const std::vector<Case> cases = {
        {"dry", 0.25f, true, 0.25f},         {"dry", kNaN, false, 0.25f},
        {"wet", -kInf, false, 1.0f},         {"input_gain", 2.0f, true, 2.0f},
        {"tempo", 90.0f, true, 90.0f},       {"tempo", 0.0f, false, 90.0f},
        {"tempo", -3.0f, false, 90.0f},      {"tempo", kInf, false, 90.0f},
        {"tempo", 2e7f, false, 90.0f},       {"eighth_per_cycle", 8.0f, true, 8.0f},
        {"eighth_per_cycle", 0.0f, false, 8.0f}, {"eighth_per_cycle", 0.05f, false, 8.0f},
        {"eighth_per_cycle", -16.0f, false, 8.0f}, {"eighth_per_cycle", kNaN, false, 8.0f},
        {"sync_source", 1.0f, true, 1.0f},   {"sync_source", 2.0f, false, 1.0f},
        {"sync_source", -5.0f, false, 1.0f}, {"sync_source", -4.5f, true, -5.0f},
        {"sync_source", kNaN, false, -5.0f}, {"Tempo", 100.0f, false, -999.0f},
    };
    EngineRig rig;
    ASSERT_TRUE(rig.add());
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.value));
        EXPECT_EQ(rig.engine.set_global_param(c.name, c.value), c.accepted);
        rig.run();
        EXPECT_EQ(rig.global(c.name), c.stored);
    }
    EXPECT_EQ(rig.engine.get_control_value(Event::EighthPerCycleLoop, 0), 8.0f);

    // A get right after a set reads where the level stands, not where it goes.
    ASSERT_TRUE(rig.engine.set_global_param("dry", 0.75f));
    EXPECT_EQ(rig.global("dry"), 0.25f);
}

// ---------------------------------------------------------------------------
// The audio path allocates nothing

TEST(EngineRealtime, BlocksAllocateNothing) {
    EngineRig rig;
    ASSERT_TRUE(rig.add(2) && rig.add(2));
    rig.run();
    const std::vector<std::pair<const char*, std::function<void()>>> before = {
        {"commands", [&] {
             rig.engine.push_command_event(Event::type_cmd_down, Event::RECORD, 0);
             rig.engine.push_midi_command_event(Event::type_cmd_hit, Event::RECORD, -1, 17);
             rig.engine.push_midi_control_event(Event::type_control_change, Event::Rate, 1.5f, 1, 99);
         }},
        {"globals", [&] {
             rig.engine.push_midi_control_event(Event::type_global_control_change, Event::TapTempo, 0, -2, 5);
             rig.engine.push_control_event(Event::type_global_control_change, Event::WetLevel, 0.5f, -2, 1);
             rig.engine.set_global_param("tempo", 133.0f);
             rig.engine.set_global_param("eighth_per_cycle", 4.0f);
         }},
        {"internal sync", [&] { rig.engine.set_global_param("sync_source", -3.0f); }},
        {"midi clock", [&] {
             rig.engine.set_global_param("sync_source", -2.0f);
             for (int k = 0; k < 8; ++k) rig.engine.push_sync_event(Event::MidiTick, k * 30);
         }},
        {"host transport", [&] {
             TransportInfo t;
             t.bpm = 97.0;
             t.state = TransportInfo::ROLLING;
             rig.driver.set_transport(t);
             rig.engine.set_global_param("sync_source", -1.0f);
         }},
        {"master loop", [&] { rig.engine.set_global_param("sync_source", 2.0f); }},
        {"loop added", [&] { rig.add(2); }},
        {"loop removed", [&] {
             int last = -1;
             rig.engine.remove_loop_request(last);
         }},
    };
    for (auto& step : before) {
        SCOPED_TRACE(step.first);
        step.second();
        qmtest::AllocationCounter counter;
        for (int b = 0; b < 3; ++b) rig.engine.process(EngineRig::kBlock);
        EXPECT_EQ(counter.count(), 0u);
        rig.engine.delete_released_loops();
    }
}

} // namespace
