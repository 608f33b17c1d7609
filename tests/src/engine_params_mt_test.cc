// The engine's global parameters as OSC clients over loopback see them: what
// a get answers is what polled and change updates report.
#include "engine.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "osc_fixture.h"

using qmtest::EngineHost;
using qmtest::OscClient;
using qmtest::OscMsg;

namespace {

// The last value of each control heard on path.
std::map<std::string, float> last_values(const std::vector<OscMsg>& got, const std::string& path)
{
    std::map<std::string, float> out;
    for (const OscMsg& m : got) {
        if (m.path == path && m.i(0) == -2) out[m.s(1)] = m.f(2);
    }
    return out;
}

TEST(EngineParams, UpdatesOfTheTempoAndSyncReportTheValuesInForce)
{
    EngineHost host;
    ASSERT_TRUE(host.ok && host.port);
    OscClient setter(host.port), listener(host.port);
    ASSERT_TRUE(setter.ok() && listener.ok());
    const char* const names[] = {"tempo", "eighth_per_cycle", "sync_source"};
    for (const char* name : names) {
        ASSERT_TRUE(listener.send("/register_update", name, listener.url(), "/change"));
        ASSERT_TRUE(listener.send("/register_auto_update", name, 100, listener.url(), "/poll"));
    }
    ASSERT_TRUE(listener.sync());

    const struct {
        std::map<std::string, float> sets;  // none: as the engine starts
        std::map<std::string, float> want;
    } steps[] = {
        {{}, {{"tempo", 110.0f}, {"eighth_per_cycle", 16.0f}, {"sync_source", 0.0f}}},
        {{{"tempo", 125.0f}, {"eighth_per_cycle", 8.0f}, {"sync_source", -3.0f}},
         {{"tempo", 125.0f}, {"eighth_per_cycle", 8.0f}, {"sync_source", -3.0f}}},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.sets.empty() ? "at start" : "after sets");
        for (const auto& kv : s.sets) ASSERT_TRUE(setter.send("/set", kv.first, kv.second));
        ASSERT_TRUE(setter.sync());
        const std::vector<OscMsg> got = listener.collect(400);
        EXPECT_EQ(last_values(got, "/poll"), s.want);
        if (!s.sets.empty()) {
            EXPECT_EQ(last_values(got, "/change"), s.want);
        }
        for (const auto& kv : s.want) {
            OscMsg m;
            ASSERT_TRUE(setter.send("/get", kv.first, setter.url(), "/val") && setter.wait("/val", m));
            EXPECT_EQ(m.f(2), kv.second) << kv.first;
        }
    }
}

} // namespace
