// Who reaches the OSC server, and what clients can make it keep: the address
// it listens on, its reply addresses and the update subscriptions it holds.
#include "control_osc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "local_address.h"
#include "osc_fixture.h"

using qmtest::EngineHost;
using qmtest::OscClient;
using qmtest::OscMsg;

namespace {

// A host whose server was made with QM_OSC_ADDRESS set to env (unset: null).
struct HostAt {
    static const char* set(const char* env)
    {
        env ? setenv("QM_OSC_ADDRESS", env, 1) : unsetenv("QM_OSC_ADDRESS");
        return env;
    }
    explicit HostAt(const char* env) : env(set(env)) { set(nullptr); }
    const char* env;
    EngineHost host;
};

std::string url_at(const std::string& host, int port)
{
    return "osc.udp://" + host + ":" + std::to_string(port) + "/";
}

// The server URL a "/ping" to host answers with, from the server's own port;
// "" when no answer comes.
std::string ping_at(const std::string& host, int port)
{
    OscClient c(port, host);
    OscMsg m;
    const bool answered = c.ok() && c.send("/ping", c.url(), "/pong") && c.wait("/pong", m, 500);
    return answered && m.from_port == port ? m.s(0) : "";
}

TEST(OscListenAddress, OnlyLoopbackAnswersUnlessAnotherAddressIsAskedFor)
{
    const std::string outside = qmtest::outside_address();
    if (outside.empty()) GTEST_SKIP() << "this machine has no address besides loopback";
    struct Row {
        const char* env;
        bool loopback, from_outside;
        std::string url_host;  // "" for the machine's name
    };
    const Row rows[] = {
        {nullptr, true, false, "127.0.0.1"},
        {"", true, false, "127.0.0.1"},
        {"0.0.0.0", true, true, ""},
        {outside.c_str(), false, true, outside},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.env ? r.env : "(unset)");
        HostAt at(r.env);
        const int port = at.host.port;
        ASSERT_TRUE(at.host.ok && port);
        const std::string url = at.host.engine.get_osc_url();
        if (r.url_host.empty()) {
            EXPECT_EQ(url.compare(0, 10, "osc.udp://"), 0) << url;
            EXPECT_EQ(url.substr(url.size() - 7), ":" + std::to_string(port) + "/") << url;
        }
        EXPECT_EQ(url, r.url_host.empty() ? url : url_at(r.url_host, port));
        EXPECT_EQ(ping_at("127.0.0.1", port), r.loopback ? url : "");
        EXPECT_EQ(ping_at(outside, port), r.from_outside ? url : "");
    }
}

TEST(OscListenAddress, ABadValueFallsBackToLoopbackWithOneLine)
{
    // Broadcast and multicast addresses, and loopback's other addresses, are
    // no unicast address of this machine.
    const std::string broadcast = qmtest::outside_broadcast();
    for (const char* env : {"127.0.0.1", "not an address", "localhost", "127.0.0.1:10051", "256.1.1.1",
                            "203.0.113.7" /* not this machine's */, "::1" /* replies go over IPv4 */,
                            "255.255.255.255", "224.0.0.1", "127.255.255.255", "127.0.0.2",
                            broadcast.empty() ? "255.255.255.255" : broadcast.c_str()}) {
        SCOPED_TRACE(env);
        const bool bad = std::string(env) != "127.0.0.1";
        testing::internal::CaptureStderr();
        HostAt at(env);
        const std::string said = testing::internal::GetCapturedStderr();
        ASSERT_TRUE(at.host.ok && at.host.port);
        EXPECT_EQ(said.find("QM_OSC_ADDRESS: "), bad ? 0u : std::string::npos) << said;
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), bad ? 1 : 0) << said;
        EXPECT_EQ(ping_at("127.0.0.1", at.host.port), url_at("127.0.0.1", at.host.port));
    }
}

std::vector<OscMsg> on_path(const std::vector<OscMsg>& all, const std::string& path)
{
    std::vector<OscMsg> out;
    for (const OscMsg& m : all) {
        if (m.path == path) out.push_back(m);
    }
    return out;
}

// Clients that never read what they are sent.
std::vector<std::unique_ptr<OscClient>> deaf_clients(int n, int port)
{
    std::vector<std::unique_ptr<OscClient>> out;
    while (n-- > 0) {
        out.emplace_back(new OscClient(port));
        EXPECT_TRUE(out.back()->ok());
    }
    return out;
}

// Distinct subscription keys k: (loop index, control name).
std::string key_path(int k)
{
    return "/qm/" + std::to_string(k % 128) + "/register_update";
}
const char* key_ctrl(int k)
{
    static const char* const names[] = {"wet", "dry", "feedback", "rec_thresh", "input_gain"};
    return names[(k / 128) % 5];
}

// count requests made by send(k), with a pause for the engine to take them
// now and then: none is lost in a full socket buffer or request queue.
void send_paced(OscClient& c, int count, const std::function<bool(int)>& send)
{
    for (int k = 0; k < count; ++k) {
        ASSERT_TRUE(send(k));
        if (k % 100 == 99) {
            ASSERT_TRUE(c.sync());
        }
    }
    ASSERT_TRUE(c.sync());
}

TEST(OscLockout, SubscribersThatNeverReadDoNotStopAnswers)
{
    for (int count : {260, 10000}) {
        SCOPED_TRACE(count);
        EngineHost host;
        OscClient a(host.port), fresh(host.port);
        ASSERT_TRUE(host.ok && a.ok() && fresh.ok());
        auto deaf = deaf_clients(std::min(count, 260), host.port);
        testing::internal::CaptureStderr();
        send_paced(a, count, [&](int k) {  // each with its own URL
            return a.send(key_path(k), key_ctrl(k), deaf[k % deaf.size()]->url() + std::to_string(k), "/x");
        });
        testing::internal::GetCapturedStderr();
        OscMsg m;
        EXPECT_TRUE(fresh.send("/ping", fresh.url(), "/pong") && fresh.wait("/pong", m));
        EXPECT_TRUE(fresh.send("/get", "tempo", fresh.url(), "/tempo") && fresh.wait("/tempo", m));
        EXPECT_TRUE(a.send("/save_session", "", a.url(), "/error") && a.wait("/error", m));
    }
}

// Which of clients hear of a change that setter makes (change(setter)), on
// path: the first in the list is waited for.
std::vector<bool> told(const std::vector<OscClient*>& clients, OscClient& setter,
                       const std::function<bool(OscClient&)>& change, const std::string& path)
{
    std::vector<bool> out;
    EXPECT_TRUE(change(setter) && setter.sync());
    for (OscClient* c : clients) {
        out.push_back(!on_path(c->collect(out.empty() ? 500 : 20), path).empty());
    }
    return out;
}

size_t lines(const std::string& said)
{
    return (size_t)std::count(said.begin(), said.end(), '\n');
}

// 64 subscribers that went quiet, but for the first, which still talks: a
// newcomer takes the place of the second.
TEST(OscLockout, AtAFullControlOrListenerListTheClientHeardFromLeastRecentlyGivesWay)
{
    struct Row {
        const char* name;
        std::function<bool(OscClient& by, const std::string& url)> subscribe;
        std::function<bool(OscClient&)> change;
        std::string path;
    };
    const Row rows[] = {
        {"update subscribers of a control",
         [](OscClient& by, const std::string& url) { return by.send("/register_update", "dry", url, "/x"); },
         [](OscClient& c) { return c.send("/set", "dry", 0.5f); }, "/x"},
        {"configuration listeners", [](OscClient& by, const std::string& url) { return by.send("/register", url, "/x"); },
         [](OscClient& c) { return c.send("/loop_add", 1, 1.0f); }, "/x"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EngineHost host;
        OscClient setter(host.port), newcomer(host.port);
        ASSERT_TRUE(host.ok && setter.ok() && newcomer.ok());
        auto quiet = deaf_clients(64, host.port);
        testing::internal::CaptureStderr();
        send_paced(setter, 64, [&](int k) { return r.subscribe(setter, quiet[k]->url()); });
        // Heard from its port, though it names no reply address.
        ASSERT_TRUE(quiet[0]->send("/set", "no_such_param", 0.0f));
        ASSERT_TRUE(r.subscribe(setter, newcomer.url()));
        const std::vector<bool> heard = told({&newcomer, quiet[0].get(), quiet[1].get(), quiet[2].get(), quiet[63].get()},
                                             setter, r.change, r.path);
        EXPECT_EQ(heard, (std::vector<bool>{true, true, false, true, true}));
        EXPECT_EQ(lines(testing::internal::GetCapturedStderr()), 1u);
    }
}

TEST(OscLockout, AtAFullClientItsOwnOldestSubscriptionGivesWay)
{
    EngineHost host;
    OscClient a(host.port), setter(host.port);
    ASSERT_TRUE(host.ok && a.ok() && setter.ok());
    testing::internal::CaptureStderr();
    const char* const controls[] = {"dry", "wet", "input_gain", "tempo"};
    send_paced(a, 256, [&](int k) {
        return a.send("/register_update", controls[k / 64], a.url(), "/" + std::to_string(k % 64));
    });
    ASSERT_TRUE(a.send("/register_update", "eighth_per_cycle", a.url(), "/new") && a.sync());
    ASSERT_TRUE(setter.send("/set", "dry", 0.5f) && setter.send("/set", "eighth_per_cycle", 8.0f) && setter.sync());
    const auto got = a.collect(300);
    EXPECT_EQ(on_path(got, "/new").size(), 1u);
    EXPECT_TRUE(on_path(got, "/0").empty());
    EXPECT_EQ(on_path(got, "/1").size(), 1u);
    EXPECT_EQ(on_path(got, "/63").size(), 1u);
    EXPECT_EQ(lines(testing::internal::GetCapturedStderr()), 1u);
}

// 16 quiet clients hold every subscription there may be; the first talks.
TEST(OscLockout, WithEverySubscriptionTakenTheClientHeardFromLeastRecentlyGivesWay)
{
    EngineHost host;
    OscClient setter(host.port), newcomer(host.port);
    ASSERT_TRUE(host.ok && host.engine.add_loop(1, 1.0f, true) && setter.ok() && newcomer.ok());
    auto quiet = deaf_clients(16, host.port);
    testing::internal::CaptureStderr();
    send_paced(setter, 16 * 256, [&](int k) {
        return setter.send(key_path(k % 256), key_ctrl(k % 256), quiet[k / 256]->url(), "/x");
    });
    ASSERT_TRUE(quiet[0]->sync());
    ASSERT_TRUE(newcomer.send("/register_update", "dry", newcomer.url(), "/x"));
    EXPECT_EQ(told({&newcomer}, setter, [](OscClient& c) { return c.send("/set", "dry", 0.5f); }, "/x"),
              std::vector<bool>{true});
    // The second's first subscription (loop 0, "wet") went.
    EXPECT_EQ(told({quiet[0].get(), quiet[1].get(), quiet[2].get()}, setter,
                   [](OscClient& c) { return c.send("/qm/0/set", "wet", 0.5f); }, "/x"),
              (std::vector<bool>{true, false, true}));
    EXPECT_EQ(lines(testing::internal::GetCapturedStderr()), 1u);
}

} // namespace
