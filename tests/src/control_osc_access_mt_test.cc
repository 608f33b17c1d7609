// Who can reach the OSC server, and what clients can make it keep: the
// address it listens on, the reply addresses it caches and the update
// subscriptions it holds. Real UDP throughout.
#include "control_osc.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "osc_fixture.h"

using qmtest::EngineHost;
using qmtest::OscClient;
using qmtest::OscMsg;

namespace {

const char* const kEnv = "QM_OSC_ADDRESS";

// QM_OSC_ADDRESS for one server's construction (set while no engine thread runs).
class ScopedAddress {
public:
    explicit ScopedAddress(const char* value)
    {
        if (const char* old = getenv(kEnv)) _old = old, _had = true;
        if (value) setenv(kEnv, value, 1);
        else unsetenv(kEnv);
    }
    ~ScopedAddress()
    {
        if (_had) setenv(kEnv, _old.c_str(), 1);
        else unsetenv(kEnv);
    }

private:
    std::string _old;
    bool _had = false;
};

// An IPv4 address of this machine that is not loopback; "" when there is none.
std::string outside_address()
{
    ifaddrs* all = nullptr;
    if (getifaddrs(&all) != 0) return "";
    std::string found;
    for (ifaddrs* i = all; i && found.empty(); i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || (i->ifa_flags & IFF_LOOPBACK)) continue;
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &((sockaddr_in*)i->ifa_addr)->sin_addr, text, sizeof(text));
        found = text;
    }
    freeifaddrs(all);
    return found;
}

// "/ping" from a fresh socket to address:port, asking for the answer at that
// same address; the server URL it answers with, "" when no answer comes.
std::string url_at(const std::string& host, int port)
{
    return "osc.udp://" + host + ":" + std::to_string(port) + "/";
}

std::string ping_at(const std::string& address, int port, int timeout_ms = 500)
{
    sockaddr_in to{}, own{};
    to.sin_family = own.sin_family = AF_INET;
    to.sin_port = htons((uint16_t)port);
    socklen_t len = sizeof(own);
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    std::string answer;
    if (fd >= 0 && inet_pton(AF_INET, address.c_str(), &to.sin_addr) == 1 &&
        bind(fd, (sockaddr*)&own, sizeof(own)) == 0 && getsockname(fd, (sockaddr*)&own, &len) == 0) {
        lo_message m = lo_message_new();
        lo_message_add_string(m, url_at(address, ntohs(own.sin_port)).c_str());
        lo_message_add_string(m, "/pong");
        size_t size = 0;
        void* data = lo_message_serialise(m, "/ping", nullptr, &size);
        lo_message_free(m);
        pollfd p{fd, POLLIN, 0};
        char buf[2048];
        if (sendto(fd, data, size, 0, (sockaddr*)&to, sizeof(to)) == (ssize_t)size && poll(&p, 1, timeout_ms) == 1) {
            const ssize_t got = recv(fd, buf, sizeof(buf), 0);
            int err = 0;
            lo_message back = got > 0 ? lo_message_deserialise(buf, (size_t)got, &err) : nullptr;
            if (back && lo_message_get_argc(back) > 0 && lo_message_get_types(back)[0] == 's') {
                answer = (const char*)lo_message_get_argv(back)[0];
            }
            if (back) lo_message_free(back);
        }
        free(data);
    }
    if (fd >= 0) close(fd);
    return answer;
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
        {"127.0.0.1", true, false, "127.0.0.1"},
        {"0.0.0.0", true, true, ""},
        {outside.c_str(), false, true, outside},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.env ? r.env : "(unset)");
        ScopedAddress env(r.env);
        EngineHost host;
        ASSERT_TRUE(host.ok && host.port);
        const std::string url = host.engine.get_osc_url();
        if (r.url_host.empty()) {
            EXPECT_EQ(url.compare(0, 10, "osc.udp://"), 0) << url;
            EXPECT_EQ(url.substr(url.size() - 7), ":" + std::to_string(host.port) + "/") << url;
            EXPECT_NE(url, url_at("127.0.0.1", host.port));
        } else {
            EXPECT_EQ(url, url_at(r.url_host, host.port));
        }
        EXPECT_EQ(ping_at("127.0.0.1", host.port), r.loopback ? url : "");
        EXPECT_EQ(ping_at(outside, host.port), r.from_outside ? url : "");
    }
}

TEST(OscListenAddress, ABadValueFallsBackToLoopbackWithAMessage)
{
    struct Row {
        const char* env;
        bool said;
    };
    const Row rows[] = {
        {"127.0.0.1", false},
        {"not an address", true},
        {"localhost", true},       // names are not looked up
        {"127.0.0.1:10051", true},
        {"256.1.1.1", true},
        {"203.0.113.7", true},     // not an address of this machine
        {"::1", true},             // liblo answers over IPv4 only
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.env);
        ScopedAddress env(r.env);
        testing::internal::CaptureStderr();
        EngineHost host;
        const std::string said = testing::internal::GetCapturedStderr();
        ASSERT_TRUE(host.ok && host.port);
        EXPECT_EQ(said.find(std::string(kEnv) + ": "), r.said ? 0u : std::string::npos) << said;
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), r.said ? 1 : 0) << said;
        EXPECT_EQ(host.engine.get_osc_url(), url_at("127.0.0.1", host.port));
        EXPECT_EQ(ping_at("127.0.0.1", host.port), url_at("127.0.0.1", host.port));
    }
}

// UDP sockets of our own that never read: clients that answer nothing.
class Sinks {
public:
    explicit Sinks(int n)
    {
        for (int k = 0; k < n; ++k) {
            const int fd = socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t len = sizeof(a);
            if (fd < 0 || bind(fd, (sockaddr*)&a, sizeof(a)) != 0 || getsockname(fd, (sockaddr*)&a, &len) != 0) {
                if (fd >= 0) close(fd);
                continue;
            }
            _fds.push_back(fd);
            _ports.push_back(ntohs(a.sin_port));
        }
    }
    ~Sinks()
    {
        for (int fd : _fds) close(fd);
    }
    size_t size() const { return _ports.size(); }
    // Client k's URL; a tag makes URLs of one client differ.
    std::string url(size_t k, const std::string& tag = "") const { return url_at("127.0.0.1", _ports.at(k)) + tag; }

private:
    std::vector<int> _fds;
    std::vector<int> _ports;
};

// Distinct subscription keys: (loop index, control name).
std::string key_path(int k, const char* what = "register_update")
{
    return "/qm/" + std::to_string(k % 128) + "/" + what;
}
const char* key_ctrl(int k)
{
    static const char* const names[] = {"wet", "dry", "feedback", "rec_thresh", "input_gain"};
    return names[(k / 128) % 5];
}

// Sends requests made by make(k), k from 0, pausing now and then until the
// engine has taken them (its request queue holds 1024).
void send_paced(OscClient& c, int count, const std::function<bool(int)>& make)
{
    for (int k = 0; k < count; ++k) {
        ASSERT_TRUE(make(k));
        if (k % 500 == 499) c.sync(2000);
    }
    c.sync(2000);
}

TEST(OscLockout, SubscribersThatNeverReadDoNotStopAnswers)
{
    for (int count : {260, 10000}) {
        SCOPED_TRACE(count);
        EngineHost host;
        OscClient a(host.port);
        ASSERT_TRUE(host.ok && host.port && a.ok());
        // Up to 260 clients, then several URLs of each.
        Sinks dead(std::min(count, 260));
        ASSERT_EQ(dead.size(), (size_t)std::min(count, 260));
        testing::internal::CaptureStderr();
        send_paced(a, count, [&](int k) {
            return a.send(key_path(k), key_ctrl(k), dead.url(k % dead.size(), std::to_string(k)), "/dead");
        });
        testing::internal::GetCapturedStderr();

        OscClient fresh(host.port);
        OscMsg m;
        ASSERT_TRUE(fresh.ok());
        EXPECT_TRUE(fresh.send("/ping", fresh.url(), "/pong") && fresh.wait("/pong", m));
        EXPECT_TRUE(fresh.send("/get", "tempo", fresh.url(), "/tempo") && fresh.wait("/tempo", m));
        EXPECT_TRUE(a.send("/save_session", "", a.url(), "/error") && a.wait("/error", m));
        EXPECT_TRUE(a.send("/qm/0/get", "wet", a.url(), "/wet") && a.wait("/wet", m));
    }
}

// A probe subscribes client a or b to the polled "tempo" after the rows'
// registrations; it is held when its first value arrives.
TEST(OscLockout, SubscriptionsAreBoundedPerKeyPerClientAndInAll)
{
    const int kPerKey = 64, kPerClient = 256, kInAll = 4096;
    struct Row {
        const char* name;
        int sinks_on_probe_key;    // clients that never read, each once on the probe's key
        int a_keys;                // a's change subscriptions, each on its own key
        int sinks_full;            // clients that never read, each with kPerClient subscriptions
        bool a_repeats;            // a registers its subscriptions twice
        bool a_unsubscribes_one;
        char prober;
        bool held;
    };
    const Row rows[] = {
        {"a key below its bound", kPerKey - 1, 0, 0, false, false, 'a', true},
        {"a full key", kPerKey, 0, 0, false, false, 'a', false},
        {"a client below its bound", 0, kPerClient - 1, 0, false, false, 'a', true},
        {"a full client", 0, kPerClient, 0, false, false, 'a', false},
        {"repeats count once", 0, kPerClient - 1, 0, true, false, 'a', true},
        {"an unsubscription makes room", 0, kPerClient, 0, false, true, 'a', true},
        {"another client beside a full one", 0, kPerClient, 0, false, false, 'b', true},
        {"every subscription taken", 0, 0, kInAll / kPerClient, false, false, 'b', false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EngineHost host;
        OscClient a(host.port), b(host.port);
        ASSERT_TRUE(host.ok && host.port && a.ok() && b.ok());
        Sinks sinks(std::max(r.sinks_on_probe_key, r.sinks_full));
        testing::internal::CaptureStderr();
        send_paced(a, r.sinks_on_probe_key, [&](int k) {
            return a.send("/register_auto_update", "tempo", 100, sinks.url(k), "/sink");
        });
        for (int pass = 0; pass < (r.a_repeats ? 2 : 1); ++pass) {
            send_paced(a, r.a_keys, [&](int k) {
                return a.send(key_path(k), key_ctrl(k), a.url(), "/a" + std::to_string(k % 3));
            });
        }
        send_paced(a, r.sinks_full * kPerClient, [&](int k) {
            return a.send(key_path(k % kPerClient), key_ctrl(k % kPerClient), sinks.url(k / kPerClient), "/sink");
        });
        if (r.a_unsubscribes_one) {
            ASSERT_TRUE(a.send("/qm/5/unregister_update", key_ctrl(5), a.url(), "/a2"));
        }
        OscClient& p = r.prober == 'a' ? a : b;
        ASSERT_TRUE(p.send("/register_auto_update", "tempo", 100, p.url(), "/probe") && p.sync());
        // More refusals after the first are not told one by one.
        for (int k = 0; k < 20 && !r.held; ++k) {
            ASSERT_TRUE(p.send("/register_auto_update", "tempo", 100, p.url(), "/probe" + std::to_string(k)));
        }
        OscMsg m;
        EXPECT_EQ(p.wait("/probe", m, 600), r.held);
        p.sync();
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), r.held ? 0 : 1) << said;
    }
}

} // namespace
