// A host that really unloads the plug-in, and loads it again, while lookups
// of host names that the old copy started hang, and as they end: nothing the
// old copy left running may touch the new one (under ThreadSanitizer: not a
// report).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "named_host.h"
#include "osc_client.h"

namespace {

using qmtest::NamedHost;

TEST(QmhostReload, ThePlugInGoesAndComesBackWhileItsLookupsHangAndEnd)
{
    // The loader's own ordering, which ThreadSanitizer cannot see, is known
    // to it, also where the suite's options are not set.
    const auto add_option = [](const char* name, const std::string& option) {
        const char* options = std::getenv(name);
        setenv(name, (std::string(options ? options : "") + ":" + option).c_str(), 1);
    };
    add_option("TSAN_OPTIONS", "suppressions=" QM_TSAN_SUPPRESSIONS);
    // Each copy unloaded takes along the one command map it never frees,
    // which the leak check at the host's exit can no longer see held.
    add_option("ASAN_OPTIONS", "detect_leaks=0");
    NamedHost host({"-b", "256", "--reload-on-hangup"});
    ASSERT_NE(0, host.port) << host.errors();
    for (int cycle = 0; cycle < 4; ++cycle) {
        SCOPED_TRACE(cycle);
        host.hold();
        {
            qmtest::OscClient c(host.port);
            for (int k = 0; k < 3; ++k)
                c.send("/ping", "osc.udp://nowhere-" + std::to_string(k) + ":" + std::to_string(c.port()) + "/", "/n");
            ASSERT_TRUE(c.sync(20000));
        }
        ASSERT_TRUE(NamedHost::eventually([&] { return host.hanging() >= 3; }));
        kill(host.pid, SIGHUP);
        ASSERT_EQ("plug-in unloaded", host.line());
        host.release();
        // The last lookup to end unloads the old copy, before the next loads
        // or while it does.
        if (cycle % 2 == 0) {
            EXPECT_TRUE(NamedHost::eventually([&] { return !host.mapped("libQuillomatAU"); }));
        }
        kill(host.pid, SIGHUP);
        const std::string said = host.line();
        ASSERT_EQ(0u, said.find("OSC port: ")) << said << host.errors();
        host.port = std::atoi(said.c_str() + 10);
    }
    const int stopped = host.stop();
    const std::string errors = host.errors();
    EXPECT_EQ(0, stopped) << errors;
    EXPECT_EQ(std::string::npos, errors.find("ThreadSanitizer")) << errors;
}

} // namespace
