// The engine with a real audio thread: commands stamped on other threads land
// where their stamps say, and loops come and go while blocks run.
#include "engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <chrono>
#include <thread>
#include <vector>

#include "engine_fixture.h"
#include "event_nonrt.h"

using namespace Quillomat;
using qmtest::EngineRig;

namespace {

const int kBlock = (int)EngineRig::kBlock;

using Stamps = std::vector<qmtest::TestDriver::BlockStamp>;

// Offset inside block k of an event stamped at s: the same place relative to
// the block before, scaled by the frames measured over it. The engine's block
// starts are known to lie between two stamps each: the earliest and latest
// offsets they allow.
double offset(double s, double prev, double start) { return (s - prev) * kBlock / (start - prev); }
double earliest(const Stamps& st, size_t k, double s) { return offset(s, st[k - 1].inside, st[k].inside); }
double latest(const Stamps& st, size_t k, double s) { return offset(s, st[k - 1].before, st[k].before); }

// One run of level changes by OSC and MIDI; `strict` counts the changes whose
// stamps fell inside a block rather than at one of its edges.
void stamped_changes(int& strict) {
    EngineRig rig;
    ASSERT_TRUE(rig.add() && rig.add());
    for (int l = 0; l < 2; ++l) std::fill(rig.loop_in(l), rig.loop_in(l) + kBlock, 1.0f);

    const size_t blocks = 600;
    std::vector<float> heard[2];
    for (auto& h : heard) h.assign(blocks * kBlock, 0.0f);
    rig.driver.start_audio(nullptr,
                           [&](uint64_t k) {
                               if (k >= blocks) return;
                               for (int l = 0; l < 2; ++l) {
                                   std::copy(rig.loop_out(l), rig.loop_out(l) + kBlock, &heard[l][k * kBlock]);
                               }
                           },
                           true, blocks);

    // Loop 0 by OSC (stamped now), loop 1 by MIDI (frame 100), each level
    // change a few blocks after the last.
    struct Sent {
        double before, after;
    };
    std::vector<Sent> sent;
    ASSERT_TRUE(rig.driver.wait_blocks(10));
    for (int i = 0; i < 24 && rig.driver.blocks_run() + 10 < blocks; ++i) {
        const float level = i % 2 ? 1.0f : 0.5f;
        const double before = EventGenerator::createTimeStamp();
        rig.engine.push_control_event(Event::type_control_change, Event::DryLevel, level, 0, 0);
        const double after = EventGenerator::createTimeStamp();
        rig.engine.push_midi_control_event(Event::type_control_change, Event::DryLevel, level, 1, 100);
        sent.push_back({before, after});
        ASSERT_TRUE(rig.driver.wait_blocks(4));
    }
    ASSERT_TRUE(rig.driver.wait_blocks(4));
    rig.driver.stop_audio();
    const Stamps& starts = rig.driver.block_stamps();

    // Each change shows as the first frame that leaves the level before it.
    size_t at[2] = {0, 0};
    float level = 1.0f;
    for (const Sent& s : sent) {
        for (int l = 0; l < 2; ++l) {
            while (at[l] < heard[l].size() && heard[l][at[l]] == level) ++at[l];
            ASSERT_LT(at[l], heard[l].size());
        }
        EXPECT_EQ(at[1] % kBlock, 100u);
        const size_t k = at[0] / kBlock;
        const double o = (double)(at[0] % kBlock);
        ASSERT_GE(k, 1u);
        const double lo = earliest(starts, k, s.before), hi = latest(starts, k, s.after);
        // A stamp that may lie outside the block acts at its start.
        const bool edge = lo < 1.0 || hi > kBlock - 1.0;
        EXPECT_TRUE((o >= lo - 1.0 && o <= hi + 1.0) || (edge && o == 0.0))
            << "landed at " << o << ", stamp says " << lo << ".." << hi;
        strict += edge ? 0 : 1;
        level = level == 1.0f ? 0.5f : 1.0f;
        for (int l = 0; l < 2; ++l) at[l] = (at[l] / kBlock + 1) * kBlock;  // its ramp ends with the block
    }
}

// A loaded machine puts more stamps at the edges of blocks: the runs go on
// until enough have fallen inside one.
TEST(EngineThreads, StampedCommandsLandWhereTheirStampsSay) {
    int strict = 0;
    for (int run = 0; run < 50 && strict <= 10; ++run) {
        stamped_changes(strict);
        if (::testing::Test::HasFatalFailure()) return;
    }
    EXPECT_GT(strict, 10);
}

TEST(EngineThreads, LoopsComeAndGoWhileBlocksRun) {
    EngineRig rig;
    int added = 0;
    rig.driver.start_audio(nullptr, nullptr, false);

    std::atomic<bool> done{false};
    // An OSC thread and a MIDI thread keep commands, controls, clock and
    // requests coming; both write the update notices and the sync queue.
    std::thread osc([&] {
        for (int i = 0; !done; ++i) {
            rig.engine.push_command_event(Event::type_cmd_hit, i % 3 ? Event::OVERDUB : Event::RECORD, -1);
            rig.engine.push_control_event(Event::type_global_control_change, Event::WetLevel, 0.8f, -2, 7);
            rig.engine.push_sync_event(Event::MidiTick, -1);
            rig.engine.push_nonrt_event(new LoopFileEvent(LoopFileEvent::Save, 0, "", "", ""));
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    std::thread midi([&] {
        for (int i = 0; !done; ++i) {
            rig.engine.push_midi_control_event(Event::type_control_change, Event::Feedback, 0.9f, (int8_t)(i % 4),
                                               i % 256);
            rig.engine.push_sync_event(i % 24 ? Event::MidiTick : Event::MidiStart, i % 256);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });

    // The engine thread.
    const float sources[] = {0.0f, 1.0f, 2.0f, -3.0f, -2.0f, 1.0f};
    int requests = 0;
    for (int i = 0; i < 240; ++i) {
        int index = -1;
        switch (i % 8) {
        case 0:
        case 1:
        case 4:
            added += rig.add(1, 0.1f) ? 1 : 0;
            break;
        case 2:  // the same loop twice
            index = 0;
            rig.engine.remove_loop_request(index);
            rig.engine.remove_loop_request(index);
            break;
        case 3:
            rig.engine.set_global_param("sync_source", sources[(i / 8) % 6]);
            rig.engine.set_global_param("tempo", 100.0f + (float)i);
            rig.engine.set_global_param("eighth_per_cycle", (float)(4 + i % 13));
            break;
        case 5:
            rig.engine.remove_loop_request(index);  // the last
            if (i % 3 == 0) rig.engine.remove_all_loops();
            break;
        default:
            rig.engine.get_control_value(Event::OutPeakMeter, -2);
            rig.engine.delete_released_loops();
            break;
        }
        while (EventNonRT* req = rig.engine.pop_nonrt_event()) {
            delete req;
            ++requests;
        }
        Event ev;
        while (rig.engine.pop_update_event(ev)) {
        }
        rig.engine.take_tempo_changed();
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    done = true;
    osc.join();
    midi.join();

    // Everything still here goes the ordinary way, each looper once.
    rig.engine.remove_all_loops();
    for (int b = 0; b < 100 && rig.removed_signals < added; ++b) {
        rig.driver.wait_blocks(2);
        rig.engine.delete_released_loops();
    }
    rig.driver.stop_audio();
    EXPECT_EQ(rig.removed_signals, added);
    EXPECT_GT(added, 50);
    EXPECT_GT(requests, 0);
}

// The engine thread's part in the tests below: it frees what was handed over.
class EngineThread {
public:
    explicit EngineThread(Engine& e) : _thread([this, &e] {
        while (!_done) {
            e.delete_released_loops();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }) {}
    ~EngineThread() {
        _done = true;
        _thread.join();
    }

private:
    std::atomic<bool> _done{false};
    std::thread _thread;
};

// A host browsing presets, with its transport stopped, rolling, or started
// and stopped meanwhile: each session replaces the last, and the loops it
// replaced are freed by the engine thread alone, with or without audio. The
// load itself waits for neither.
TEST(EngineThreads, ReplacedSessionsAreFreedOnTheEngineThreadWithOrWithoutAudio) {
    const size_t set = Looper::memory_bytes(2, 20.0f, EngineRig::kRate, EngineRig::kBlock);
    qmtest::MemoryBudget env(2 * set / (1u << 20) + 1);
    enum Audio { None, Running, ComingAndGoing };
    for (const Audio audio : {None, Running, ComingAndGoing}) {
        SCOPED_TRACE(audio);
        EngineRig rig;
        ASSERT_TRUE(rig.add(2, 20.0f));
        const std::thread::id host_thread = std::this_thread::get_id();
        std::atomic<int> removed{0}, removed_on_host{0};
        rig.engine.LoopRemoved.connect([&] {
            ++removed;
            if (std::this_thread::get_id() == host_thread) ++removed_on_host;
        });
        std::atomic<bool> done{false};
        std::thread host;
        if (audio == Running) {
            rig.driver.start_audio(nullptr, nullptr);
        } else if (audio == ComingAndGoing) {
            host = std::thread([&] {
                while (!done) {
                    rig.driver.start_audio(nullptr, nullptr);
                    std::this_thread::sleep_for(std::chrono::milliseconds(30));
                    rig.driver.stop_audio();
                    std::this_thread::sleep_for(std::chrono::milliseconds(70));
                }
            });
        }
        {
            EngineThread engine_thread(rig.engine);
            for (int k = 0; k < 20; ++k) {
                // A preset is chosen once the last one's loops are gone.
                for (int w = 0; w < 60000 && rig.engine.memory_held() > set; ++w) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                const std::string text = qmtest::session_text(1, 2, 20.0f, 60.0 + k);
                ASSERT_TRUE(rig.engine.load_session("preset", &text)) << k;
            }
            for (int w = 0; w < 60000 && removed < 20; ++w) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        done = true;
        if (host.joinable()) host.join();
        rig.driver.stop_audio();
        EXPECT_EQ(removed, 20);
        EXPECT_EQ(removed_on_host, 0);
        EXPECT_EQ(rig.engine.memory_held(), set);
        EXPECT_EQ(rig.global("tempo"), 79.0f);
    }
}

// A host restores its state (a session load on its own thread) while the
// engine thread saves a loop that the load replaces, and blocks come now and
// then: the loop being saved stays whole until the save is done.
TEST(EngineThreads, ALoopBeingSavedOutlivesTheSessionThatReplacesIt) {
    EngineRig rig;
    ASSERT_TRUE(rig.add(2, 60.0f));
    rig.engine.push_command_event(Event::type_cmd_hit, Event::RECORD, 0);
    for (int b = 0; b < 60 * (int)EngineRig::kRate / kBlock; ++b) {
        std::fill(rig.loop_in(0), rig.loop_in(0) + kBlock, 0.25f);
        rig.run();
    }
    const std::string path = ::testing::TempDir() + "qm_saved_while_replaced.wav";
    std::atomic<bool> done{false};
    std::thread audio([&] {
        for (unsigned k = 0; !done; ++k) {
            rig.engine.process(EngineRig::kBlock);
            std::this_thread::sleep_for(std::chrono::milliseconds(35 + (k * 7) % 31));
        }
    });
    std::thread host([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const std::string text = qmtest::session_text(1, 1, 1.0f);
        EXPECT_TRUE(rig.engine.load_session("preset", &text));
    });
    LoopFileEvent save(LoopFileEvent::Save, 0, path, "", "");
    rig.engine.process_nonrt_event(&save);
    host.join();
    done = true;
    audio.join();
    rig.engine.delete_released_loops();
    EXPECT_EQ(rig.engine.loop_count(), 1u);
    std::remove(path.c_str());
}

// Audio resumes after a pause just as a long loop is removed: the other
// loops play on in every block while it is freed.
TEST(EngineThreads, NoBlockGoesSilentWhileALongLoopIsFreed) {
    EngineRig rig;
    ASSERT_TRUE(rig.add(1, 1.0f));
    ASSERT_TRUE(rig.add(2, 600.0f));
    rig.engine.push_command_event(Event::type_cmd_hit, Event::RECORD, 0);
    for (int b = 0; b < 20; ++b) {
        std::fill(rig.loop_in(0), rig.loop_in(0) + kBlock, 0.5f);
        rig.run();
    }
    rig.engine.push_command_event(Event::type_cmd_hit, Event::RECORD, 0);
    std::fill(rig.loop_in(0), rig.loop_in(0) + kBlock, 0.0f);
    rig.run(4);
    std::atomic<bool> freed{false};
    rig.engine.LoopRemoved.connect([&] { freed = true; });

    int silent = 0, blocks = 0;
    {
        EngineThread engine_thread(rig.engine);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        int index = 1;
        ASSERT_TRUE(rig.engine.remove_loop_request(index));
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        // As a host renders: nothing here waits for the engine side.
        float* out = rig.loop_out(0);
        for (int extra = 0; extra < 50; ++blocks) {
            std::fill(out, out + kBlock, 0.0f);
            rig.engine.process(EngineRig::kBlock);
            silent += std::all_of(out, out + kBlock, [](float v) { return v == 0.0f; }) ? 1 : 0;
            if (freed) ++extra;
            ASSERT_LT(blocks, 2000000);
        }
    }
    EXPECT_EQ(silent, 0) << "of " << blocks << " blocks";
    EXPECT_EQ(rig.engine.loop_count(), 1u);
}

} // namespace
