// What subscribers over loopback OSC hear of changes to the engine's own
// controls (instance -2) made on the real-time path: only what was taken, with
// the value taken.
#include "engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "command_map.h"
#include "osc_fixture.h"

using namespace Quillomat;
using qmtest::EngineHost;
using qmtest::OscClient;
using qmtest::OscMsg;

namespace {

// A setter and a listener on one engine. Each case ends with a change of the
// input gain on the same path, which is always told: whatever the case gives
// has been heard before it.
class EngineAnnounce : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(host.ok && setter.ok() && listener.ok()); }

    // What the listener heard on "/upd" before the fence set on `set_path`.
    std::vector<OscMsg> heard_up_to_fence(const std::string& set_path)
    {
        fence += 1.0f;
        OscMsg end;
        if (!setter.send(set_path, "input_gain", fence) || !listener.wait("/fence", end) || end.f(2) != fence) {
            ADD_FAILURE() << "no fence";
            return {};
        }
        std::vector<OscMsg> heard;
        for (const OscMsg& m : listener.collect(0)) {
            if (m.path == "/upd") heard.push_back(m);
        }
        return heard;
    }
    static void expect_told(const std::vector<OscMsg>& heard, bool told, int instance, const std::string& control,
                            float value)
    {
        if (!told) {
            EXPECT_TRUE(heard.empty()) << heard.size() << " updates, the first " << heard[0].f(2);
            return;
        }
        ASSERT_EQ(heard.size(), 1u);
        EXPECT_EQ(heard[0].i(0), instance);
        EXPECT_EQ(heard[0].s(1), control);
        EXPECT_EQ(heard[0].f(2), value);
    }

    EngineHost host;
    OscClient setter{host.port}, listener{host.port};
    const CommandMap& cm = CommandMap::instance();
    float fence = 0.0f;
};

TEST_F(EngineAnnounce, OnlyTheLevelsTakenAreAnnounced)
{
    struct Case {
        bool midi;  // through a MIDI binding rather than "/qm/-2/set"
        const char* control;
        float value;
        bool announced;
        float stays;  // read back with "/get" afterwards; NaN: not read
    };
    const float kSkip = std::nanf("");
    const std::vector<Case> cases = {
        {false, "tempo", 90.0f, false, 110.0f},
        {false, "sync_source", -3.0f, false, 0.0f},
        {false, "eighth_per_cycle", 8.0f, false, 16.0f},
        {false, "tap_tempo", 7.0f, false, kSkip},
        {false, "wet", 0.5f, true, kSkip},
        {true, "tempo", 90.0f, false, 110.0f},
        {true, "dry", 0.25f, true, kSkip},
    };
    ASSERT_TRUE(listener.send("/register_update", "input_gain", listener.url(), "/fence"));
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.midi ? "MIDI " : "OSC ") + c.control);
        ASSERT_TRUE(listener.send("/register_update", c.control, listener.url(), "/upd") && listener.sync());
        if (c.midi) {
            host.engine.push_midi_control_event(Event::type_global_control_change, cm.to_control_t(c.control),
                                                c.value, -2, 0);
        } else {
            ASSERT_TRUE(setter.send("/qm/-2/set", c.control, c.value));
        }
        expect_told(heard_up_to_fence("/qm/-2/set"), c.announced, -2, c.control, c.value);
        if (!std::isnan(c.stays)) {
            OscMsg m;
            ASSERT_TRUE(setter.send("/get", c.control, setter.url(), "/val") && setter.wait("/val", m));
            EXPECT_EQ(m.f(2), c.stays);
        }
        ASSERT_TRUE(listener.send("/unregister_update", c.control, listener.url(), "/upd") && listener.sync());
    }
}

// A loop's subscribers hear the value the loop keeps, and nothing of a set
// that the loop does not take.
TEST_F(EngineAnnounce, LoopsAnnounceTheValueTheyKeep)
{
    struct Case {
        bool midi;
        const char* control;
        float value;
        bool announced;
        float kept;
        Event::control_t id = Event::Unknown;  // set through MIDI by number instead of by name
    };
    const std::vector<Case> cases = {
        {false, "feedback", 3.0f, true, 1.0f},     {true, "feedback", -2.0f, true, 0.0f},
        {false, "quantize", 1.6f, true, 2.0f},     {true, "quantize", -0.5f, true, -1.0f},
        {false, "use_common_ins", 5.0f, true, 1.0f}, {false, "relative_sync", -1.0f, true, 0.0f},
        {false, "wet", 5.0f, true, 5.0f},           {false, "pan_1", -5.0f, true, -5.0f},
        {false, "state", 3.0f, false, 0.0f},         {true, "state", 3.0f, false, 0.0f},
        {false, "loop_len", 3.0f, false, 0.0f},      {false, "tempo", 100.0f, false, 0.0f},
        {false, "pan_3", 0.5f, false, 0.0f},         {true, "pan_4", 0.5f, false, 0.0f},  // two channels
        {true, "unknown", 3.0f, false, 0.0f, Event::MultiUnused},
    };
    ASSERT_TRUE(host.engine.add_loop(2, 1.0f, true));
    ASSERT_TRUE(listener.send("/qm/0/register_update", "input_gain", listener.url(), "/fence"));
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.midi ? "MIDI " : "OSC ") + c.control);
        ASSERT_TRUE(listener.send("/qm/0/register_update", c.control, listener.url(), "/upd") && listener.sync());
        if (c.midi) {
            const Event::control_t id = c.id != Event::Unknown ? c.id : cm.to_control_t(c.control);
            host.engine.push_midi_control_event(Event::type_control_change, id, c.value, 0, 0);
        } else {
            ASSERT_TRUE(setter.send("/qm/0/set", c.control, c.value));
        }
        expect_told(heard_up_to_fence("/qm/0/set"), c.announced, 0, c.control, c.kept);
        ASSERT_TRUE(listener.send("/qm/0/unregister_update", c.control, listener.url(), "/upd") && listener.sync());
    }
}

} // namespace
