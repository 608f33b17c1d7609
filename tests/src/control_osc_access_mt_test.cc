// Who reaches the OSC server, and what clients can make it keep: the address
// it listens on, its reply addresses and the update subscriptions it holds.
#include "control_osc.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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

// An IPv4 address of this machine besides loopback; "" when there is none.
std::string outside_address()
{
    ifaddrs* all = nullptr;
    std::string found;
    for (ifaddrs* i = getifaddrs(&all) == 0 ? all : nullptr; i && found.empty(); i = i->ifa_next) {
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET && !(i->ifa_flags & IFF_LOOPBACK)) {
            char text[INET_ADDRSTRLEN];
            found = inet_ntop(AF_INET, &((sockaddr_in*)i->ifa_addr)->sin_addr, text, sizeof(text));
        }
    }
    freeifaddrs(all);
    return found;
}

// The broadcast address of an interface besides loopback; "" when none has one.
std::string outside_broadcast()
{
    ifaddrs* all = nullptr;
    std::string found;
    for (ifaddrs* i = getifaddrs(&all) == 0 ? all : nullptr; i && found.empty(); i = i->ifa_next) {
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET && (i->ifa_flags & IFF_BROADCAST) &&
            i->ifa_broadaddr) {
            char text[INET_ADDRSTRLEN];
            found = inet_ntop(AF_INET, &((sockaddr_in*)i->ifa_broadaddr)->sin_addr, text, sizeof(text));
        }
    }
    freeifaddrs(all);
    return found;
}

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
    const std::string outside = outside_address();
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
    const std::string broadcast = outside_broadcast();
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

// After the row's registrations, client a or b subscribes to the polled
// "tempo": it is held when its first value arrives.
TEST(OscLockout, SubscriptionsAreBoundedPerKeyPerClientAndInAll)
{
    struct Row {
        const char* name;
        int deaf_on_probe_key;  // deaf clients, each subscribed to the probe's key
        int a_keys;             // a's subscriptions, each on its own key
        int deaf_full;          // deaf clients with 256 subscriptions each
        int a_passes;           // times a makes its subscriptions
        bool a_drops_one;
        char prober;
        bool held;
    };
    const Row rows[] = {
        {"a key below its bound", 63, 0, 0, 1, false, 'a', true},
        {"a full key", 64, 0, 0, 1, false, 'a', false},
        {"a client below its bound", 0, 255, 0, 1, false, 'a', true},
        {"a full client", 0, 256, 0, 1, false, 'a', false},
        {"repeats count once", 0, 255, 0, 2, false, 'a', true},
        {"an unsubscription makes room", 0, 256, 0, 1, true, 'a', true},
        {"another client beside a full one", 0, 256, 0, 1, false, 'b', true},
        {"every subscription taken", 0, 0, 16, 1, false, 'b', false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EngineHost host;
        OscClient a(host.port), b(host.port);
        ASSERT_TRUE(host.ok && a.ok() && b.ok());
        auto deaf = deaf_clients(std::max(r.deaf_on_probe_key, r.deaf_full), host.port);
        testing::internal::CaptureStderr();
        send_paced(a, r.deaf_on_probe_key,
                   [&](int k) { return a.send("/register_auto_update", "tempo", 100, deaf[k]->url(), "/x"); });
        for (int pass = 0; pass < r.a_passes; ++pass) {
            send_paced(a, r.a_keys,
                       [&](int k) { return a.send(key_path(k), key_ctrl(k), a.url(), "/" + std::to_string(k % 3)); });
        }
        send_paced(a, r.deaf_full * 256,
                   [&](int k) { return a.send(key_path(k % 256), key_ctrl(k % 256), deaf[k / 256]->url(), "/x"); });
        ASSERT_TRUE(!r.a_drops_one || a.send("/qm/5/unregister_update", key_ctrl(5), a.url(), "/2"));
        OscClient& p = r.prober == 'a' ? a : b;
        // Refusals after the first are not told one by one.
        for (int k = 0; k < (r.held ? 1 : 20); ++k) {
            ASSERT_TRUE(p.send("/register_auto_update", "tempo", 100, p.url(), k ? "/" + std::to_string(k) : "/probe"));
        }
        OscMsg m;
        EXPECT_EQ(p.wait("/probe", m, 600), r.held);
        p.sync();
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), r.held ? 0 : 1) << said;
    }
}

} // namespace
