// A host that really unloads the plug-in, and loads it again, while lookups
// of host names that the old copy started hang, and as they end: nothing the
// old copy left running may touch the new one (under ThreadSanitizer: not a
// report; under AddressSanitizer: no leak, though each copy unloaded takes
// along the pointers to what it keeps for good).
#include <signal.h>
#include <sys/syscall.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "named_host.h"
#include "osc_client.h"

namespace {

using qmtest::NamedHost;

// SIGHUP to a thread of the host other than the main one that takes it (the
// sanitizer's own thread blocks it), as the kernel may choose: the handler
// then runs beside the render loop instead of in it.
bool hang_up_beside_main(pid_t pid)
{
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        const pid_t tid = std::atoi(task.path().filename().c_str());
        std::ifstream status(task.path() / "status");
        std::string key;
        unsigned long long blocked = ~0ull;
        while (status >> key)
            if (key == "SigBlk:") status >> std::hex >> blocked;
        if (tid != pid && !(blocked >> (SIGHUP - 1) & 1) && syscall(SYS_tgkill, pid, tid, SIGHUP) == 0) return true;
    }
    return false;
}

TEST(QmhostReload, ThePlugInGoesAndComesBackWhileItsLookupsHangAndEnd)
{
    // The loader's own ordering, which ThreadSanitizer cannot see, is known
    // to it, also where the suite's options are not set.
    const auto add_option = [](const char* name, const std::string& option) {
        const char* options = std::getenv(name);
        setenv(name, (std::string(options ? options : "") + ":" + option).c_str(), 1);
    };
    add_option("TSAN_OPTIONS", "suppressions=" QM_TSAN_SUPPRESSIONS);
    NamedHost host({"-b", "256", "--reload-on-hangup"});
    ASSERT_NE(0, host.port) << host.errors();
    // Once while only the plug-in's own threads run beside the main one.
    ASSERT_TRUE(hang_up_beside_main(host.pid));
    ASSERT_EQ("plug-in unloaded", host.line()) << host.errors();
    kill(host.pid, SIGHUP);
    const std::string first = host.line();
    ASSERT_EQ(0u, first.find("OSC port: ")) << first << host.errors();
    host.port = std::atoi(first.c_str() + 10);
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
    EXPECT_EQ(std::string::npos, errors.find("Sanitizer")) << errors;
}

} // namespace
