#include "midi_bridge.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "alloc_counter.h"

using Quillomat::Event;
using Quillomat::MidiBindInfo;
using Quillomat::MidiBridge;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// What the engine would receive, in order; plain records so that recording
// one allocates nothing.
struct Got {
    char signal;  // 'c' command, 'v' control value, 's' sync
    int type;
    int what;     // command or control
    float value;
    int instance;
    long frame;
    bool operator==(const Got& o) const
    {
        return std::tie(signal, type, what, value, instance, frame) ==
               std::tie(o.signal, o.type, o.what, o.value, o.instance, o.frame);
    }
};

std::ostream& operator<<(std::ostream& os, const Got& g)
{
    return os << g.signal << g.type << "/" << g.what << "=" << g.value << "@" << g.instance << ":" << g.frame;
}

struct Engine : public SigC::Object {
    std::vector<Got> got;
    std::vector<MidiBindInfo> learned, captured;
    Engine() { got.reserve(256); }
    void command(Event::type_t t, Event::command_t c, int8_t i, long f) { got.push_back({'c', t, c, 0, i, f}); }
    void control(Event::type_t t, Event::control_t c, float v, int8_t i, long f) { got.push_back({'v', t, c, v, i, f}); }
    void sync(Event::control_t c, long f) { got.push_back({'s', Event::type_sync, c, 0, 0, f}); }
    void learn(MidiBindInfo b) { learned.push_back(b); }
    void next(MidiBindInfo b) { captured.push_back(b); }
};

class Bridge : public testing::Test {
protected:
    Bridge() : bridge("AUmidi")
    {
        bridge.MidiCommandEvent.connect(SigC::slot(engine, &Engine::command));
        bridge.MidiControlEvent.connect(SigC::slot(engine, &Engine::control));
        bridge.MidiSyncEvent.connect(SigC::slot(engine, &Engine::sync));
        bridge.BindingLearned.connect(SigC::slot(engine, &Engine::learn));
        bridge.NextMidiReceived.connect(SigC::slot(engine, &Engine::next));
    }
    void bind(const std::string& line)
    {
        MidiBindInfo b;
        ASSERT_TRUE(b.unserialize(line));
        Kvo::LockMonitor lm(bridge.bindings_lock(), __LINE__, __FILE__);
        ASSERT_TRUE(bridge.bindings().add_binding(b));
    }
    std::vector<Got> take()
    {
        std::vector<Got> g = engine.got;
        engine.got.clear();
        return g;
    }

    MidiBridge bridge;
    Engine engine;
};

Got cmd(Event::type_t t, Event::command_t c, int i, long f) { return {'c', t, c, 0, i, f}; }
Got ctl(Event::control_t c, float v, int i, long f) { return {'v', Event::type_control_change, c, v, i, f}; }
Got syn(Event::control_t c, long f) { return {'s', Event::type_sync, c, 0, 0, f}; }

} // namespace

TEST_F(Bridge, ControllersScaleBetweenTheBounds)
{
    EXPECT_TRUE(bridge.is_ok());
    bind("2 cc 7  set wet -1  0 1  ");
    bind("2 cc 8  set feedback 1  1 0  ");        // inverted
    bind("2 cc 9  set input_gain 0  0 1  gain");
    bind("2 cc 10  set dry -1  -1 1  gain");      // lower half of the range is below 0
    bind("2 cc 11  set rate -1  0.5 2  ");         // two on one key, in order
    bind("2 cc 11  set feedback 4  0 1  ");
    struct Case {
        unsigned char d1, d2;
        std::vector<Got> want;
    };
    const Case cases[] = {
        {7, 127, {ctl(Event::WetLevel, 1.0f, -1, 5)}},
        {7, 0, {ctl(Event::WetLevel, 0.0f, -1, 5)}},
        {7, 64, {ctl(Event::WetLevel, 64 / 127.0f, -1, 5)}},
        {8, 127, {ctl(Event::Feedback, 0.0f, 1, 5)}},
        {8, 0, {ctl(Event::Feedback, 1.0f, 1, 5)}},
        {9, 0, {ctl(Event::InputGain, 0.0f, 0, 5)}},
        {9, 127, {ctl(Event::InputGain, 1.0f, 0, 5)}},
        {10, 0, {ctl(Event::DryLevel, 0.0f, -1, 5)}},
        {10, 32, {ctl(Event::DryLevel, 0.0f, -1, 5)}},
        {11, 127, {ctl(Event::Rate, 2.0f, -1, 5), ctl(Event::Feedback, 1.0f, 4, 5)}},
        {12, 127, {}},  // unbound controller
    };
    for (const Case& c : cases) {
        bridge.inject_midi(0xB2, c.d1, c.d2, 5);
        EXPECT_EQ(take(), c.want) << "cc " << int(c.d1) << " value " << int(c.d2);
    }
    bridge.inject_midi(0xB3, 7, 127, 5);  // other channel
    EXPECT_TRUE(take().empty());
    EXPECT_NEAR(Quillomat::uniform_position_to_gain(0.5), 0.1498, 1e-4);
    EXPECT_EQ(Quillomat::uniform_position_to_gain(-0.5), 0.0);
    EXPECT_EQ(Quillomat::uniform_position_to_gain(std::nan("")), 0.0);
}

TEST_F(Bridge, NotesProgramChangesAndSyncFireCommands)
{
    bind("3 n 60  note record 0  0 1  ");
    bind("3 n 62  susnote overdub -1  0 1  ");
    bind("0 pc 4  hit undo 2  0 1  ");
    bind("0 pc 5  down mute -1  0 1  ");
    bridge.inject_midi(0x93, 60, 100, 17);
    bridge.inject_midi(0x83, 60, 64, 18);   // note-off: up
    bridge.inject_midi(0x93, 60, 0, 19);    // note-on at velocity 0 is a note-off
    bridge.inject_midi(0x93, 62, 1, -1);
    bridge.inject_midi(0x83, 62, 0, -1);    // sustained: forced up
    bridge.inject_midi(0xC0, 4, 0, 0);
    bridge.inject_midi(0xC0, 5, 0, 0);
    const std::vector<Got> want = {
        cmd(Event::type_cmd_down, Event::RECORD, 0, 17), cmd(Event::type_cmd_up, Event::RECORD, 0, 18),
        cmd(Event::type_cmd_up, Event::RECORD, 0, 19),   cmd(Event::type_cmd_down, Event::OVERDUB, -1, -1),
        cmd(Event::type_cmd_upforce, Event::OVERDUB, -1, -1), cmd(Event::type_cmd_hit, Event::UNDO, 2, 0),
        cmd(Event::type_cmd_down, Event::MUTE, -1, 0),
    };
    EXPECT_EQ(take(), want);

    // Unbound start, clock and stop reach the sync; continue and pitch bend do not.
    for (unsigned char status : {0xFA, 0xF8, 0xFB, 0xFC, 0xE0}) bridge.inject_midi(status, 0, 64, status);
    EXPECT_EQ(take(), (std::vector<Got>{syn(Event::MidiStart, 0xFA), syn(Event::MidiTick, 0xF8),
                                       syn(Event::MidiStop, 0xFC)}));
}

TEST_F(Bridge, MessagesWhileTheBindingsAreBusyAreDropped)
{
    bind("0 cc 7  set wet -1  0 1  ");
    {
        Kvo::LockMonitor lm(bridge.bindings_lock(), __LINE__, __FILE__);
        bridge.inject_midi(0xB0, 7, 127, 0);
        bridge.inject_midi(0xF8, 0, 0, 0);
        bridge.start_learn(MidiBindInfo());  // the engine may hold the lock here
        bridge.inject_midi(0x90, 1, 1, 0);    // lost to the learn, which stays pending
    }
    EXPECT_TRUE(take().empty());
    EXPECT_TRUE(engine.learned.empty());
    bridge.cancel_learn();
    bridge.inject_midi(0xB0, 7, 127, 0);
    EXPECT_EQ(take(), std::vector<Got>{ctl(Event::WetLevel, 1.0f, -1, 0)});
}

TEST_F(Bridge, LearnAndGetNext)
{
    bind("1 n 60  note record -1  0 1  ");
    MidiBindInfo req;
    ASSERT_TRUE(req.unserialize("0 cc 0  set overdub 2  0 1  "));  // a command: becomes a note binding
    bridge.start_learn(req, true);
    bridge.start_get_next();
    bridge.inject_midi(0x81, 60, 0, 0);  // note-off learns as a note on channel 1, fires nothing
    ASSERT_EQ(engine.learned.size(), 1u);
    EXPECT_EQ(engine.learned[0].serialize(), "1 n 60  note overdub 2  0 1  ");
    EXPECT_TRUE(engine.captured.empty());
    bridge.inject_midi(0xC4, 9, 0, 0);  // then the capture
    ASSERT_EQ(engine.captured.size(), 1u);
    EXPECT_EQ(engine.captured[0].serialize(), "4 pc 9    -1  0 1  ");
    bridge.inject_midi(0x91, 60, 100, 0);  // both done: bindings fire again
    EXPECT_EQ(take(), std::vector<Got>{cmd(Event::type_cmd_down, Event::RECORD, -1, 0)});

    ASSERT_TRUE(req.unserialize("0 n 0  note mute -1  0 1  "));
    bridge.start_learn(req);
    bridge.inject_midi(0xC2, 3, 0, 0);  // a command on a program change is a hit
    ASSERT_TRUE(req.unserialize("0 n 0  set wet 0  0 1  gain"));
    bridge.start_learn(req);
    bridge.inject_midi(0xB5, 74, 3, 0);  // a control keeps its action
    ASSERT_EQ(engine.learned.size(), 3u);
    EXPECT_EQ(engine.learned[1].serialize(), "2 pc 3  hit mute -1  0 1  ");
    EXPECT_EQ(engine.learned[2].serialize(), "5 cc 74  set wet 0  0 1  gain");

    // What cannot be bound is passed over, fires as usual, and both wait on.
    bridge.start_learn(req);
    bridge.start_get_next();
    CaptureStderr();
    for (unsigned char status : {0xF8, 0xF6, 0xFA, 0xE5, 0xD5}) {
        bridge.inject_midi(status, 0, 0, 7);
    }
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(take(), (std::vector<Got>{syn(Event::MidiTick, 7), syn(Event::MidiStart, 7)}));
    bridge.inject_midi(0xB5, 74, 3, 0);
    bridge.inject_midi(0xF8, 0, 0, 0);
    bridge.inject_midi(0x95, 12, 3, 0);
    ASSERT_EQ(engine.learned.size(), 4u);
    EXPECT_EQ(engine.learned[3].serialize(), "5 cc 74  set wet 0  0 1  gain");
    ASSERT_EQ(engine.captured.size(), 2u);
    EXPECT_EQ(engine.captured[1].serialize(), "5 n 12    -1  0 1  ");
    EXPECT_EQ(take().size(), 1u);  // only the clock: nothing bound to cc 74 or note 12 on channel 5

    bridge.start_get_next();
    bridge.cancel_get_next();
    bridge.inject_midi(0x91, 60, 100, 0);
    EXPECT_EQ(take().size(), 1u);
    EXPECT_EQ(engine.captured.size(), 2u);
}

TEST_F(Bridge, BoundMessagesAllocateNothing)
{
    bind("0 cc 7  set wet -1  0 1  gain");
    bind("0 n 60  note record -1  0 1  ");
    bridge.inject_midi(0xB0, 7, 1, 0);  // first use of the shared name tables
    take();
    qmtest::AllocationCounter counter;
    for (int i = 0; i < 32; ++i) {
        bridge.inject_midi(0xB0, 7, i, i);
        bridge.inject_midi(0x80, 60, 0, i);
        bridge.inject_midi(0xF8, 0, 0, i);
    }
    EXPECT_EQ(counter.count(), 0u);
    EXPECT_EQ(engine.got.size(), 96u);
}
