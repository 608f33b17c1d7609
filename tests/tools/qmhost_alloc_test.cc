// The host with the looper plug-in while allocations fail now and then on
// every thread but its main one (the engine's, the OSC receiver's, ...): a
// request that meets a failure is dropped, the host goes on, also while
// loops come and go, sessions replace them and files are saved in place.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <lo/lo.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "file_fixture.h"
#include "named_host.h"
#include "osc_client.h"

#ifndef QM_FAILING_ALLOC
#define QM_FAILING_ALLOC ""  // the sanitizers keep the allocator to themselves
#endif

namespace {

using qmtest::NamedHost;
using qmtest::OscClient;
using qmtest::OscMsg;

// The failing allocator's file: [0] armed, [1] allocations failed so far.
int control(const std::string& path, int at, int value = -1)
{
    const int fd = open(path.c_str(), O_RDWR);
    int v = value;
    const bool done = fd >= 0 && (value < 0 ? pread(fd, &v, sizeof v, at * sizeof v)
                                            : pwrite(fd, &v, sizeof v, at * sizeof v)) == sizeof v;
    if (fd >= 0) close(fd);
    return done ? v : -1;
}

// A session of two short loops.
const char kSession[] =
    "<QMSession><Globals tempo=\"120\"/><Loopers>"
    "<Looper index=\"0\" channels=\"1\" loop_secs=\"0.5\" discrete_io=\"yes\"><Controls/></Looper>"
    "<Looper index=\"1\" channels=\"2\" loop_secs=\"0.5\" discrete_io=\"yes\"><Controls/></Looper>"
    "</Loopers></QMSession>";

// Loops come and go: an add with commands for its place right behind it, a
// removal, and now and then a session that replaces them all.
void loops_come_and_go(OscClient& c, const qmtest::ScratchDir& d, int k)
{
    c.send("/loop_add", 1, 0.25f);
    c.send("/qm/2/set", "wet", 0.5f);
    c.send("/qm/2/hit", "record");
    c.send("/loop_del", -1);
    if (k % 10 == 5) c.send("/load_session", d.path("two.qms"), c.url(), "/err");
}

// One of each kind of request the host takes, answers and subscriptions
// included, and some that it must drop.
void requests(OscClient& c, const qmtest::ScratchDir& d, int k)
{
    const std::string url = c.url();
    c.send("/ping", url, "/pong");
    c.send("/qm/0/get", "state", url, "/state");
    c.send("/qm/0/set", "feedback", 0.5f + 0.01f * (k % 40));
    c.send("/qm/*/set", "wet", 0.8f);
    c.send("/qm/-1/hit", k % 2 ? "record" : "overdub");
    c.send("/get", "dry", url, "/dry");
    c.send("/register_auto_update", "out_peak_meter", 100, url, "/meter");
    c.send("/qm/0/register_update", "feedback", url, "/feedback");
    c.send("/qm/0/register_auto_update", "loop_pos", 100, url, "/pos");
    c.send("/qm/");
    lo_bundle b = lo_bundle_new(LO_TT_IMMEDIATE);
    lo_message m1 = lo_message_new(), m2 = lo_message_new();
    lo_message_add_string(m1, "wet");
    lo_message_add_float(m1, 0.7f);
    lo_message_add_string(m2, "state");
    lo_message_add_string(m2, url.c_str());
    lo_message_add_string(m2, "/bundled");
    lo_bundle_add_message(b, "/qm/0/set", m1);
    lo_bundle_add_message(b, "/qm/0/get", m2);
    size_t size = 0;
    if (void* bytes = lo_bundle_serialise(b, nullptr, &size)) {
        c.send_raw(bytes, size);
        std::free(bytes);
    }
    lo_bundle_free_recursive(b);
    static const std::string bad[] = {"junk", std::string("/qm/0/set\0\0\0,sf", 15),
                                      std::string("#bundle\0\0\0\0\0\0\0\0\1\0\0\0\x40/qm/", 24)};
    c.send_raw(bad[k % 3].data(), bad[k % 3].size() - 4 * (k % 2));
    if (k % 25 == 0) {
        c.send("/qm/0/save_loop", d.path("take.wav"), "float", "little", url, "/err");
        c.send("/save_session", d.path("s.qms"), url, "/err");
    }
    loops_come_and_go(c, d, k);
    if (k % 25 == 12) {
        // Files with a second link: written in place, their old contents kept aside meanwhile.
        c.send("/qm/0/save_loop", d.path("linked.wav"), "float", "little", url, "/err");
        c.send("/save_session", d.path("linked.qms"), url, "/err");
    }
}

// One allocation in this many fails: often, or seldom enough that most loops
// are made (and so removed again).
class QmhostFailingAllocations : public testing::TestWithParam<int> {};

TEST_P(QmhostFailingAllocations, RequestsThatMeetOneAreDroppedAndTheHostGoesOn)
{
    if (!*QM_FAILING_ALLOC) GTEST_SKIP() << "no failing allocator under the sanitizers";
    qmtest::ScratchDir d;
    qmtest::put(d.path("control"), std::string(2 * sizeof(int), '\0'));
    qmtest::put(d.path("two.qms"), kSession);
    for (const char* name : {"linked.wav", "linked.qms"}) {
        qmtest::put(d.path(name), "");
        ASSERT_EQ(0, link(d.path(name).c_str(), (d.path(name) + ".link").c_str()));
    }
    const std::string preload = "LD_PRELOAD=" QM_FAILING_ALLOC, file = "QM_FAILING_ALLOC=" + d.path("control"),
                      every = "QM_FAILING_ALLOC_EVERY=" + std::to_string(GetParam());
    NamedHost host({"-b", "256"}, [&] {
        putenv(const_cast<char*>(preload.c_str()));
        putenv(const_cast<char*>(file.c_str()));
        putenv(const_cast<char*>(every.c_str()));
    });
    if (host.port == 0) GTEST_SKIP() << "no host: " << host.errors();
    OscClient a(host.port), b(host.port);
    ASSERT_TRUE(a.sync(10000));

    ASSERT_EQ(1, control(d.path("control"), 0, 1));
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (int k = 0; std::chrono::steady_clock::now() < end && host.running(); ++k) {
        requests(k % 2 ? a : b, d, k);
        (k % 2 ? a : b).collect(2);
    }
    ASSERT_EQ(0, control(d.path("control"), 0, 0));

    EXPECT_GT(control(d.path("control"), 1), 0);
    ASSERT_TRUE(host.running()) << host.errors();
    // A backlog the host had not read when its socket filled was dropped
    // there, so a ping may be too: within 10 s one is answered.
    a.collect(0);
    bool answered = false;
    for (int k = 0; k < 20 && !answered; ++k) answered = a.sync(500);
    EXPECT_TRUE(answered) << host.errors();
    // Loops still come and go: the session's two are there, whatever was
    // left before.
    OscMsg m;
    EXPECT_TRUE(a.send("/load_session", d.path("two.qms"), a.url(), "/err") && a.sync(10000));
    EXPECT_TRUE(a.send("/ping", a.url(), "/count") && a.wait("/count", m, 10000) && m.i(2) == 2) << host.errors();
    EXPECT_TRUE(a.send("/qm/1/get", "state", a.url(), "/after") && a.wait("/after", m, 10000));
    // A save in place still goes through, or is refused whole.
    EXPECT_TRUE(a.send("/save_session", d.path("linked.qms"), a.url(), "/err") && a.sync(10000));
    EXPECT_NE(std::string::npos, qmtest::bytes_of(d.path("linked.qms")).find("<QMSession")) << host.errors();
    EXPECT_EQ(qmtest::bytes_of(d.path("linked.qms")), qmtest::bytes_of(d.path("linked.qms.link")));
    EXPECT_EQ(0, host.stop()) << host.errors();
}

INSTANTIATE_TEST_SUITE_P(OneIn, QmhostFailingAllocations, testing::Values(8, 100));

} // namespace
