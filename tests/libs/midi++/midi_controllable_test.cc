#include "midi_test_port.h"

#include <midi++/controllable.h>

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cmath>
#include <limits>
#include <vector>

using MIDI::Controllable;
using qmtest::RecordingPort;

namespace {

struct Control : public Controllable {
    std::vector<float> values;
    Control(MIDI::Port* p, bool bistate) : Controllable(p, bistate) {}
    void set_value(float v) override { values.push_back(v); }
};

} // namespace

TEST(Controllable, SensesItsBindingOnly) {
    RecordingPort port(O_RDWR);
    Control note(&port, true), cc(&port, false), pedal(&port, true), bend(&port, false);
    note.set_control_type(0, MIDI::on, 60);
    cc.set_control_type(0, MIDI::controller, 7);
    pedal.set_control_type(0, MIDI::controller, 64);
    bend.set_control_type(1, MIDI::pitchbend, 0);
    port.feed({0x90, 60, 100, 61, 100, 0x80, 60, 0, 0xB0, 7, 100, 8, 1, 64, 65, 64, 64, 0xE1, 0x7F, 0x7F});
    EXPECT_EQ(note.values, (std::vector<float>{1.0f, 0.0f}));
    EXPECT_EQ(cc.values, (std::vector<float>{100 / 127.0f}));
    EXPECT_EQ(pedal.values, (std::vector<float>{1.0f, 0.0f}));
    EXPECT_EQ(bend.values, (std::vector<float>{1.0f}));
    EXPECT_EQ(cc.control_description(), "MIDI control: Controller 7");

    // A channel the per-channel signals do not have leaves it unbound.
    signed char ch;
    MIDI::eventType kind;
    MIDI::byte num;
    cc.set_control_type(16, MIDI::controller, 7);
    EXPECT_FALSE(cc.get_control_info(ch, kind, num));
    port.feed({0xB0, 7, 1});
    EXPECT_EQ(cc.values.size(), 1u);
}

TEST(Controllable, LearnsFromTheNextChannelMessage) {
    RecordingPort port(O_RDWR);
    Control c(&port, false);
    signed char ch;
    MIDI::eventType kind;
    MIDI::byte num;
    EXPECT_FALSE(c.get_control_info(ch, kind, num));
    EXPECT_EQ(c.control_description(), "MIDI Control: none");

    int started = 0, stopped = 0;
    c.learning_started.connect([&] { ++started; });
    c.learning_stopped.connect([&] { ++stopped; });
    c.learn_about_external_control();
    port.feed({0xF8, 0xF0, 0x01, 0xF7, 0xB3, 10, 20});
    EXPECT_EQ(started, 1);
    EXPECT_EQ(stopped, 1);
    ASSERT_TRUE(c.get_control_info(ch, kind, num));
    EXPECT_EQ(ch, 3);
    EXPECT_EQ(kind, MIDI::controller);
    EXPECT_EQ(num, 10);
    EXPECT_EQ(c.control_description(), "MIDI control: Controller 10");
    port.feed({0xB3, 10, 127});
    EXPECT_EQ(c.values, (std::vector<float>{1.0f}));

    qmtest::ChannelRecorder rec;
    Control lonely(nullptr, false);
    lonely.learn_about_external_control();
    RecordingPort out_only(O_WRONLY);
    Control deaf(&out_only, false);
    deaf.learn_about_external_control();
    ASSERT_EQ(rec.heard.size(), 2u);
    EXPECT_EQ(rec.heard[0].second, "No MIDI port specified - external control disabled");
}

TEST(Controllable, FeedbackSendsValidMessages) {
    RecordingPort port(O_RDWR);
    Control c(&port, false);
    c.send_midi_feedback(0.5f);
    EXPECT_TRUE(port.written.empty()) << "unbound controls send nothing";

    c.set_control_type(2, MIDI::controller, 7);
    for (float v : {0.5f, 2.0f, -1.0f, std::numeric_limits<float>::quiet_NaN()}) {
        c.send_midi_feedback(v);
    }
    EXPECT_EQ(qmtest::hex(port.written), "b2 07 3f b2 07 7f b2 07 00 b2 07 00");

    // Every received value goes back out unchanged.
    port.written.clear();
    for (int v = 0; v < 128; ++v) {
        c.send_midi_feedback(v / 127.0f);
        ASSERT_EQ(port.written.back(), v);
    }

    port.written.clear();
    c.set_control_type(0, MIDI::program, 0);
    c.send_midi_feedback(1.0f);
    c.set_control_type(0, MIDI::pitchbend, 0);
    c.send_midi_feedback(1.0f);
    EXPECT_EQ(qmtest::hex(port.written), "c0 7f e0 7f 7f");
}
