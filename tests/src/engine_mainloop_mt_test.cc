// The engine thread's main loop with the OSC server and the MIDI bridge:
// MIDI drives loops through bindings made over OSC, bindings are learned,
// listed, saved and loaded, tempo and beats are reported, quit is obeyed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <kvo/receiver.h>

#include <mutex>
#include <thread>

#include "engine.h"
#include "engine_fixture.h"
#include "midi_bridge.h"
#include "osc_fixture.h"
#include "test_driver.h"

using namespace Quillomat;
using qmtest::EngineHost;
using qmtest::OscClient;
using qmtest::OscMsg;

namespace {

std::vector<std::string> listing(OscClient& c)
{
    std::vector<std::string> out;
    if (!c.send("/get_all_midi_bindings", c.url(), "/list")) return out;
    OscMsg m;
    while (c.wait("/list", m) && m.s(0) == "add") out.push_back(m.s(1));
    EXPECT_EQ(m.s(0), "done");
    // "done" may arrive while the engine still holds the bindings lock, and
    // MIDI meanwhile is dropped: wait until it has let go.
    EXPECT_TRUE(c.sync());
    return out;
}

class MidiOscTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(host.ok && host.port);
        ASSERT_TRUE(c.ok());
    }
    MidiBridge bridge{"AUmidi"};
    EngineHost host{256, &bridge};
    OscClient c{host.port};
};

TEST_F(MidiOscTest, BindingsMadeOverOscLetMidiRecordALoop)
{
    ASSERT_TRUE(host.engine.add_loop(1, 2.0f, true));
    ASSERT_TRUE(c.send("/add_midi_binding", "0 n 60  note record 0  0 1  ", ""));
    ASSERT_TRUE(c.send("/add_midi_binding", "0 cc 7  set feedback -1  0 1  ", ""));
    ASSERT_TRUE(c.send("/add_midi_binding", "0 cc 7  set feedback -1  0 0.5  ", "exclusive"));  // replaces
    ASSERT_TRUE(c.send("/add_midi_binding", "0 cc 8  set no_such_control 0", ""));          // refused
    // In key order: notes (0x90) before controllers (0xB0).
    EXPECT_EQ(listing(c), (std::vector<std::string>{"0 n 60  note record 0  0 1  ", "0 cc 7  set feedback -1  0 0.5  "}));

    std::fill_n(host.driver.input("loop0_in_1"), 256, 0.5f);
    host.driver.start_audio(nullptr, nullptr);
    bridge.inject_midi(0x90, 60, 100, 0);  // press: record
    ASSERT_TRUE(host.driver.wait_blocks(20));
    bridge.inject_midi(0x80, 60, 0, 0);  // a short press's release: nothing
    ASSERT_TRUE(host.driver.wait_blocks(10));
    bridge.inject_midi(0x90, 60, 100, 10);  // press again: play
    bridge.inject_midi(0xB0, 7, 127, 20);
    ASSERT_TRUE(host.driver.wait_blocks(4));
    host.stop();
    EXPECT_EQ(host.engine.get_control_value(Event::State, 0), 4.0f);
    EXPECT_NEAR(host.engine.get_control_value(Event::LoopLength, 0), 30 * 256 / 48000.0, 10 * 256 / 48000.0);
    EXPECT_EQ(host.engine.get_control_value(Event::Feedback, 0), 0.5f);
}

TEST_F(MidiOscTest, BindingsAreRemovedSavedClearedAndLoaded)
{
    const std::string file = ::testing::TempDir() + "qm_bind_" + std::to_string(getpid()) + ".txt";
    const std::vector<std::string> two = {"1 n 36  note undo 2  0 1  ", "0 cc 7  set wet -1  0 1  "};
    for (const std::string& b : two) ASSERT_TRUE(c.send("/add_midi_binding", b, ""));
    ASSERT_TRUE(c.send("/save_midi_bindings", file, ""));
    ASSERT_TRUE(c.send("/remove_midi_binding", "0 cc 7  set wet -1  0.2 0.3  ", ""));  // bounds do not matter
    EXPECT_EQ(listing(c), std::vector<std::string>{two[0]});
    ASSERT_TRUE(c.send("/clear_midi_bindings"));
    EXPECT_TRUE(listing(c).empty());
    ASSERT_TRUE(c.send("/load_midi_bindings", file, ""));
    EXPECT_EQ(listing(c), two);
    ASSERT_TRUE(c.send("/load_midi_bindings", file, "add"));
    EXPECT_EQ(listing(c).size(), 4u);
    ASSERT_TRUE(c.send("/load_midi_bindings", "/nonexistent_dir/b.txt", ""));  // table untouched
    EXPECT_EQ(listing(c).size(), 4u);
    std::remove(file.c_str());
}

TEST_F(MidiOscTest, LearnAndCaptureAnswerWithTheMessageThatCame)
{
    const std::string url = c.url();
    struct Row {
        std::string request;  // learn binding; empty: get-next
        unsigned char status, data1;
        std::vector<std::pair<std::string, std::string>> answers;
    };
    const Row rows[] = {
        {"0 cc 0  set feedback 0  0 1  ", 0xB3, 21,
         {{"add", "3 cc 21  set feedback 0  0 1  "}, {"done", "3 cc 21  set feedback 0  0 1  "}}},
        {"0 n 0  down overdub 1  0 1  ", 0xC1, 5,
         {{"add", "1 pc 5  hit overdub 1  0 1  "}, {"done", "1 pc 5  hit overdub 1  0 1  "}}},
        {"0 n 0  note wet 0  0 1  ", 0x90, 50, {{"learn_cancel", ""}}},  // a note cannot set a level
        {"", 0x92, 40, {{"recv", "2 n 40    -1  0 1  "}}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.request);
        if (r.request.empty()) {
            ASSERT_TRUE(c.send("/get_next_midi_event", url, "/learn"));
        } else {
            ASSERT_TRUE(c.send("/learn_midi_binding", r.request, "", url, "/learn"));
        }
        ASSERT_TRUE(c.sync());
        bridge.inject_midi(r.status, r.data1, 99, 0);
        for (const auto& a : r.answers) {
            OscMsg m;
            ASSERT_TRUE(c.wait("/learn", m));
            EXPECT_EQ(m.types, "ss");
            EXPECT_EQ(m.s(0), a.first);
            EXPECT_EQ(m.s(1), a.second);
        }
    }
    EXPECT_EQ(listing(c).size(), 2u);

    // A learn and a capture pending together: each gets its own message.
    ASSERT_TRUE(c.send("/learn_midi_binding", "0 cc 0  set wet 0  0 1  ", "exclusive", url, "/learn"));
    ASSERT_TRUE(c.send("/get_next_midi_event", url, "/next") && c.sync());
    bridge.inject_midi(0xB5, 1, 1, 0);
    OscMsg m;
    ASSERT_TRUE(c.wait("/learn", m) && c.wait("/learn", m));
    EXPECT_EQ(m.s(1), "5 cc 1  set wet 0  0 1  ");
    // The engine adds the learned binding under the bindings lock: the next
    // message must not arrive while it does.
    ASSERT_TRUE(c.sync());
    bridge.inject_midi(0xB6, 2, 1, 0);
    ASSERT_TRUE(c.wait("/next", m));
    EXPECT_EQ(m.s(1).substr(0, 7), "6 cc 2 ");

    // Cancelled: the next message fires bindings instead of being learned.
    ASSERT_TRUE(c.send("/learn_midi_binding", "0 cc 0  set wet 0  0 1  ", "", url, "/learn"));
    ASSERT_TRUE(c.send("/cancel_midi_learn", url, "/learn"));
    ASSERT_TRUE(c.send("/get_next_midi_event", url, "/next"));
    ASSERT_TRUE(c.send("/cancel_get_next_midi", url, "/next") && c.sync());
    bridge.inject_midi(0xB7, 3, 1, 0);
    ASSERT_TRUE(c.wait("/learn", m));
    EXPECT_EQ(m.s(0), "learn_cancel");
    EXPECT_EQ(m.s(1), "");
    ASSERT_TRUE(c.wait("/next", m));
    EXPECT_EQ(m.s(0), "next_cancel");
    ASSERT_TRUE(c.sync());
    const auto rest = c.collect(100);
    for (const OscMsg& r : rest) EXPECT_NE(r.path, "/learn");
    EXPECT_EQ(listing(c).size(), 3u);
}

TEST_F(MidiOscTest, OnlyTheWordExclusiveReplacesTheBindingsOfAKey)
{
    const std::string held = "0 n 60  note record 0  0 1  ";
    const std::string fresh = "0 n 60  note overdub 0  0 1  ";
    struct Row {
        bool learn;
        const char* options;
        bool replaces;
    };
    const Row rows[] = {
        {true, "nonexclusive", false},  {true, "exclusive", true},  {true, "exclusively", false},
        {true, " add  exclusive ", true}, {false, "nonexclusive", false}, {false, "add,exclusive", true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.learn ? "learn " : "add ") + "'" + r.options + "'");
        ASSERT_TRUE(c.send("/clear_midi_bindings"));
        ASSERT_TRUE(c.send("/add_midi_binding", held, ""));
        if (r.learn) {
            ASSERT_TRUE(c.send("/learn_midi_binding", "0 n 0  note overdub 0  0 1  ", r.options, c.url(), "/learn"));
            ASSERT_TRUE(c.sync());
            bridge.inject_midi(0x90, 60, 100, 0);
            OscMsg m;
            ASSERT_TRUE(c.wait("/learn", m) && c.wait("/learn", m));
            EXPECT_EQ(m.s(0), "done");
        } else {
            ASSERT_TRUE(c.send("/add_midi_binding", fresh, r.options));
        }
        const std::vector<std::string> want = r.replaces ? std::vector<std::string>{fresh}
                                                         : std::vector<std::string>{held, fresh};
        EXPECT_EQ(listing(c), want);
    }
}

// Counted until everything has come, whenever it comes: the polled meter
// never more often than every 100 ms of the time it took.
TEST(EngineMainLoop, ReportsTempoChangesBeatsAndPolledMetersOnTime)
{
    using Clock = std::chrono::steady_clock;
    EngineHost host;
    ASSERT_TRUE(host.ok && host.port);
    OscClient c(host.port);
    const auto start = Clock::now();
    ASSERT_TRUE(c.send("/register_update", "tempo", c.url(), "/t"));
    ASSERT_TRUE(c.send("/register_update", "tap_tempo", c.url(), "/t"));
    ASSERT_TRUE(c.send("/register_auto_update", "in_peak_meter", 100, c.url(), "/meter"));
    ASSERT_TRUE(c.send("/set", "sync_source", -3.0f) && c.send("/set", "tempo", 240.0f) && c.sync());

    // Beats at 240 bpm, then two taps 40 blocks apart change the tempo (the
    // first only sets the phase), each in the block it is pushed before.
    float* in = host.driver.input("common_in_1");
    host.driver.start_audio(
        [&](uint64_t k) {
            std::fill_n(in, 256, (float)(k % 50) / 50.0f);
            if (k == 100 || k == 140)
                host.engine.push_midi_control_event(Event::type_global_control_change, Event::TapTempo, 1.0f, -2, 0);
        },
        nullptr);
    int meters = 0, beats = 0, tempos = 0;
    float last_beat = -1.0f;
    auto count = [&](const std::vector<OscMsg>& got) {
        for (const OscMsg& m : got) {
            if (m.path == "/meter") ++meters;
            if (m.path != "/t") continue;
            EXPECT_EQ(m.i(0), -2);
            if (m.s(1) == "tempo") {
                EXPECT_GT(m.f(2), 0.0f);
                EXPECT_NE(m.f(2), 240.0f);  // the tap's, not the set's (its sender knows that one)
                ++tempos;
            }
            if (m.s(1) == "tap_tempo") {
                EXPECT_GT(m.f(2), last_beat);  // the running frame count
                last_beat = m.f(2);
                ++beats;
            }
        }
    };
    // Requests keep the engine thread busy all the while.
    const auto give_up = start + std::chrono::seconds(60);
    while ((meters < 7 || beats < 2 || tempos < 1) && Clock::now() < give_up) {
        ASSERT_TRUE(c.send("/ping", c.url(), "/busy"));
        count(c.collect(2));
    }
    host.stop();
    count(c.collect(0));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();

    EXPECT_GE(meters, 7);  // every 100 ms, however busy
    EXPECT_LE(meters, took / 100 + 1);
    EXPECT_GE(beats, 2);
    EXPECT_EQ(tempos, 1);
}

// A recording that fills the loop memory is cut short; the engine thread says
// so on the error channel (and standard error) instead of staying silent.
TEST(EngineMainLoop, ReportsOperationsRefusedForLackOfMemory)
{
    struct Catcher : Receiver {
        std::mutex lock;
        std::vector<std::string> texts;
        void receive(Transmitter::Channel, const char* text) override
        {
            std::lock_guard<std::mutex> g(lock);
            texts.push_back(text);
        }
    } catcher;
    catcher.listen_to(Kvo::error);

    EngineHost host;
    ASSERT_TRUE(host.ok);
    ASSERT_TRUE(host.engine.add_loop(1, 0.25f, true));
    std::fill_n(host.driver.input("loop0_in_1"), 256, 0.25f);
    host.driver.start_audio(nullptr, nullptr, false);
    ASSERT_TRUE(host.engine.push_command_event(Event::type_cmd_hit, Event::RECORD, 0));
    ASSERT_TRUE(host.driver.wait_blocks(200));  // about 1 s of frames: four times the memory
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    bool said = false;
    while (!said && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::lock_guard<std::mutex> g(catcher.lock);
        for (const std::string& t : catcher.texts) said = said || t.find("loop 0: not enough loop memory") == 0;
    }
    host.stop();
    catcher.hangup();
    EXPECT_TRUE(said);
    EXPECT_EQ(host.engine.get_control_value(Event::State, 0), 4.0f);  // the loop plays what fitted
}

// The host keeps the session in its document from its own thread while
// clients save, load and add loops through the engine thread.
TEST(EngineMainLoop, SessionsFromTheHostAndFromClientsDoNotOverlap)
{
    EngineHost host;
    ASSERT_TRUE(host.ok && host.port);
    ASSERT_TRUE(host.engine.add_loop(2, 0.5f, true));
    OscClient c(host.port);
    ASSERT_TRUE(c.send("/register", c.url(), "/cfg"));
    const std::string file = ::testing::TempDir() + "qm_concurrent_" + std::to_string(getpid()) + ".qms";
    host.driver.start_audio(nullptr, nullptr);

    std::thread host_thread([&] {
        for (int k = 0; k < 40; ++k) {
            std::string text;
            EXPECT_TRUE(host.engine.save_session("", &text));
            EXPECT_TRUE(host.engine.load_session("host", &text));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    for (int k = 0; k < 40; ++k) {
        ASSERT_TRUE(c.send("/save_session", file, c.url(), "/err"));
        ASSERT_TRUE(c.send("/load_session", file, c.url(), "/err"));
        if (k % 10 == 0) {
            ASSERT_TRUE(c.send("/loop_add", 1, 0.5f));
        }
        ASSERT_TRUE(c.sync());
    }
    host_thread.join();
    int errors = 0;
    for (const OscMsg& m : c.collect(100)) errors += m.path == "/err" ? 1 : 0;
    host.stop();
    EXPECT_EQ(errors, 0);
    EXPECT_GE(host.engine.loop_count(), 1u);
    EXPECT_LE(host.engine.loop_count(), 5u);
    std::remove(file.c_str());
}

TEST(EngineMainLoop, ASessionWithALoopThatCannotBeBuiltIsRefusedOverOsc)
{
    EngineHost host;
    ASSERT_TRUE(host.ok && host.port);
    ASSERT_TRUE(host.engine.add_loop(2, 0.5f, true));
    OscClient c(host.port);
    const std::string file = ::testing::TempDir() + "qm_bad_loop_" + std::to_string(getpid()) + ".qms";
    {
        std::ofstream out(file);
        out << qmtest::session_text(2, 0, 1.0f, 90.0);  // loops of no channels
    }
    OscMsg m;
    ASSERT_TRUE(c.send("/load_session", file, c.url(), "/err") && c.wait("/err", m));
    EXPECT_EQ(m.s(1), "Session Load Failed");
    host.stop();
    EXPECT_EQ(host.engine.loop_count(), 1u);
    EXPECT_EQ(host.engine.get_control_value(Event::ChannelCount, 0), 2.0f);
    float tempo = 0.0f;
    EXPECT_TRUE(host.engine.get_global_param("tempo", tempo));
    EXPECT_EQ(tempo, 110.0f);
    std::remove(file.c_str());
}

TEST(EngineMainLoop, QuitIsObeyedUnlessIgnoredAndNotForced)
{
    EngineHost host;
    ASSERT_TRUE(host.ok && host.port);
    OscClient c(host.port);
    host.engine.set_ignore_quit(true);
    ASSERT_TRUE(c.send("/quit"));
    ASSERT_TRUE(c.sync());
    EXPECT_TRUE(host.engine.is_ok());

    host.engine.set_ignore_quit(false);
    ASSERT_TRUE(c.send("/quit"));
    OscMsg m;
    for (int k = 0; k < 100 && host.engine.is_ok(); ++k) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(host.engine.is_ok());
    EXPECT_FALSE(c.send("/ping", c.url(), "/p") && c.wait("/p", m, 300));
}

// A request that finds the queue full is refused and freed (the leak checker
// sees to the freeing); the queued ones go with the engine.
TEST(EngineRequests, AFullQueueRefusesAndFreesTheRequest)
{
    qmtest::TestDriver driver;
    Engine engine;
    ASSERT_TRUE(engine.initialize(&driver, 2, EngineHost::base_port(), ""));
    for (int k = 0; k < 1023; ++k) ASSERT_TRUE(engine.push_nonrt_event(new PingEvent("", "")));
    EXPECT_FALSE(engine.push_nonrt_event(new PingEvent("", "")));
    EXPECT_FALSE(engine.push_nonrt_event(nullptr));
    EventNonRT* first = engine.pop_nonrt_event();
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(engine.process_nonrt_event(first));
    delete first;
    EXPECT_TRUE(engine.push_nonrt_event(new PingEvent("", "")));
}

} // namespace
