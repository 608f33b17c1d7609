// The host with the looper plug-in under limits of its own (files, address
// space) while clients name hosts whose lookups hang: its own work goes on,
// and what failed for want of room is tried again once there is room.
#include <sndfile.h>
#include <sys/resource.h>

#include <fstream>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "file_fixture.h"
#include "named_host.h"
#include "osc_client.h"

namespace {

using qmtest::NamedHost;
using qmtest::OscClient;
using qmtest::OscMsg;

std::string url_at(const std::string& host, const OscClient& c)
{
    return "osc.udp://" + host + ":" + std::to_string(c.port()) + "/";
}

void flood(OscClient& c, int names)
{
    for (int k = 0; k < names; ++k) c.send("/ping", url_at("nowhere-" + std::to_string(k), c), "/never");
}

// Pings the name until it is answered (within 10 s).
bool answered_at(OscClient& c, const std::string& name)
{
    OscMsg m;
    for (int k = 0; k < 50; ++k)
        if (c.send("/ping", url_at(name, c), "/named") && c.wait("/named", m, 200)) return true;
    return false;
}

TEST(QmhostUnderLimits, HangingNamesLeaveTheHostItsFilesAndFailuresOfRoomAreNotKept)
{
    NamedHost host({"-b", "256"}, [] {
        const rlimit files = {60, 60};
        setrlimit(RLIMIT_NOFILE, &files);
    });
    if (host.port == 0) GTEST_SKIP() << "no host: " << host.errors();
    OscClient c(host.port);
    qmtest::ScratchDir d;
    SF_INFO info = {0, 48000, 2, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0, 0};
    SNDFILE* f = sf_open(d.path("src.wav").c_str(), SFM_WRITE, &info);
    std::vector<float> wave(2 * 4800, 0.25f);
    ASSERT_TRUE(f && sf_writef_float(f, wave.data(), 4800) == 4800 && sf_close(f) == 0);
    ASSERT_TRUE(c.send("/qm/0/load_loop", d.path("src.wav"), c.url(), "/err") && c.sync(20000));

    flood(c, 200);
    ASSERT_TRUE(c.sync(20000));
    EXPECT_TRUE(NamedHost::eventually([&] { return host.hanging() >= 10; })) << host.hanging();
    // Not answered while the lookups fill their share, nor remembered.
    c.send("/ping", url_at("gui-box.test", c), "/named");
    c.send("/save_session", d.path("s.qms"), c.url(), "/err");
    c.send("/qm/0/save_loop", d.path("take.wav"), "float", "little", c.url(), "/err");
    ASSERT_TRUE(c.sync(20000));
    std::vector<std::string> errors;
    for (const OscMsg& m : c.collect(0))
        if (m.path == "/err") errors.push_back(m.s(1));
    EXPECT_TRUE(errors.empty()) << errors.front();
    EXPECT_EQ(std::set<std::string>({"s.qms", "src.wav", "take.wav"}), d.entries());

    host.release();
    EXPECT_TRUE(answered_at(c, "gui-box.test")) << host.errors();
    EXPECT_EQ(0, host.stop());
}

// Kilobytes the process's status gives for field ("VmSize:", "VmPeak:").
long vm_kb(pid_t pid, const std::string& field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string word;
    long kb = 0;
    while (status >> word && word != field) {
    }
    status >> kb;
    return kb;
}

TEST(QmhostUnderLimits, RunningOutOfAddressSpaceCostsRequestsNotTheHost)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve address space of their own";
#endif
    NamedHost host({"-b", "256"});
    if (host.port == 0) GTEST_SKIP() << "no host: " << host.errors();
    // Less room than the stacks of the lookups it may run: the limit is met.
    const long start_kb = vm_kb(host.pid, "VmSize:");
    const rlimit as = {(rlim_t)(start_kb + 8 * 1024) * 1024, (rlim_t)(start_kb + 8 * 1024) * 1024};
    ASSERT_EQ(0, prlimit(host.pid, RLIMIT_AS, &as, nullptr));
    OscClient c(host.port);
    for (int round = 0; round < 3; ++round) {
        flood(c, 200);
        for (int k = 0; k < 200; ++k) c.send("/qm/0/get", "wet", c.url(), "/g");
        c.sync(1000);
    }
    EXPECT_GE(host.hanging(), 10);
    EXPECT_GE(vm_kb(host.pid, "VmPeak:"), start_kb + 7 * 1024);
    host.release();
    EXPECT_TRUE(answered_at(c, "127.0.0.1")) << host.errors();
    EXPECT_EQ(0, host.stop()) << host.errors();
}

} // namespace
