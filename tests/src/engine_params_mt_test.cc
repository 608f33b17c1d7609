// The engine's global parameters as OSC clients over loopback see them: what
// a get answers is what polled and change updates report.
#include "engine.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "osc_fixture.h"

namespace {

TEST(EngineParams, UpdatesOfTheTempoAndSyncReportTheValuesInForce)
{
    qmtest::EngineHost host;
    ASSERT_TRUE(host.ok && host.port);
    qmtest::OscClient setter(host.port), listener(host.port);
    typedef std::map<std::string, float> Values;
    for (const char* name : {"tempo", "eighth_per_cycle", "sync_source"}) {
        ASSERT_TRUE(listener.send("/register_update", name, listener.url(), "/change"));
        ASSERT_TRUE(listener.send("/register_auto_update", name, 100, listener.url(), "/poll"));
    }
    ASSERT_TRUE(listener.sync());
    // As the engine starts, then after a set of each.
    const Values start = {{"tempo", 110.0f}, {"eighth_per_cycle", 16.0f}, {"sync_source", 0.0f}};
    const Values set = {{"tempo", 125.0f}, {"eighth_per_cycle", 8.0f}, {"sync_source", -3.0f}};
    for (const Values* want : {&start, &set}) {
        if (want == &set) {
            for (const auto& kv : set) ASSERT_TRUE(setter.send("/set", kv.first, kv.second));
        }
        // A set's change is told before the setter's ping is answered; the
        // polls come at their next ticks, whenever those are.
        ASSERT_TRUE(setter.sync());
        Values heard[2];  // the last polled and change values
        for (int k = 0; k < 200 && heard[0] != *want; ++k)
            for (const qmtest::OscMsg& m : listener.collect(50)) heard[m.path == "/change"][m.s(1)] = m.f(2);
        EXPECT_EQ(heard[0], *want);
        EXPECT_EQ(heard[1], want == &set ? set : Values());
        for (const auto& kv : *want) {
            qmtest::OscMsg m;
            ASSERT_TRUE(setter.send("/get", kv.first, setter.url(), "/val") && setter.wait("/val", m));
            EXPECT_EQ(m.f(2), kv.second) << kv.first;
        }
    }
}

} // namespace
