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

TEST(EngineAnnounce, OnlyTheLevelsTakenAreAnnounced)
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
    EngineHost host;
    ASSERT_TRUE(host.ok);
    OscClient setter(host.port), listener(host.port);
    ASSERT_TRUE(setter.ok() && listener.ok());
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.midi ? "MIDI " : "OSC ") + c.control);
        ASSERT_TRUE(listener.send("/register_update", c.control, listener.url(), "/upd") && listener.sync());
        if (c.midi) {
            const CommandMap& cm = CommandMap::instance();
            host.engine.push_midi_control_event(Event::type_global_control_change, cm.to_control_t(c.control),
                                                c.value, -2, 0);
        } else {
            ASSERT_TRUE(setter.send("/qm/-2/set", c.control, c.value) && setter.sync());
        }
        std::vector<OscMsg> heard;
        for (const OscMsg& m : listener.collect(200)) {
            if (m.path == "/upd") heard.push_back(m);
        }
        if (c.announced) {
            ASSERT_EQ(heard.size(), 1u);
            EXPECT_EQ(heard[0].i(0), -2);
            EXPECT_EQ(heard[0].s(1), c.control);
            EXPECT_EQ(heard[0].f(2), c.value);
        } else {
            EXPECT_TRUE(heard.empty()) << heard.size() << " updates, the first " << heard[0].f(2);
        }
        if (!std::isnan(c.stays)) {
            OscMsg m;
            ASSERT_TRUE(setter.send("/get", c.control, setter.url(), "/val") && setter.wait("/val", m));
            EXPECT_EQ(m.f(2), c.stays);
        }
        ASSERT_TRUE(listener.send("/unregister_update", c.control, listener.url(), "/upd") && listener.sync());
    }
}

} // namespace
