// Reply addresses that name a host: the name is looked up away from the
// engine thread, so that one that takes long (or never resolves) holds up
// nobody else. The lookup is the test's own, answered when the test says.
#include "control_osc.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "osc_fixture.h"

using qmtest::EngineHost;
using qmtest::OscClient;
using qmtest::OscMsg;

namespace {

// Names and their addresses ("" for none); a name is answered once released.
class Names {
public:
    explicit Names(std::map<std::string, std::string> answers, bool released = false)
        : _answers(std::move(answers)), _all_released(released)
    {
    }
    bool lookup(const std::string& host, in_addr& out)
    {
        std::unique_lock<std::mutex> l(_lock);
        ++_asked[host];
        _changed.notify_all();
        _changed.wait(l, [&] { return _all_released || _released.count(host); });
        auto it = _answers.find(host);
        return it != _answers.end() && inet_pton(AF_INET, it->second.c_str(), &out) == 1;
    }
    void release(const std::string& host)
    {
        std::lock_guard<std::mutex> l(_lock);
        _released[host] = true;
        _changed.notify_all();
    }
    void release_all()
    {
        std::lock_guard<std::mutex> l(_lock);
        _all_released = true;
        _changed.notify_all();
    }
    // Waits (up to 3 s) until host is being looked up.
    bool asked_for(const std::string& host)
    {
        std::unique_lock<std::mutex> l(_lock);
        return _changed.wait_for(l, std::chrono::seconds(3), [&] { return _asked.count(host) > 0; });
    }
    std::map<std::string, int> asked()
    {
        std::lock_guard<std::mutex> l(_lock);
        return _asked;
    }

private:
    std::mutex _lock;
    std::condition_variable _changed;
    std::map<std::string, std::string> _answers;
    std::map<std::string, bool> _released;
    bool _all_released;
    std::map<std::string, int> _asked;
};

void use(EngineHost& host, const std::shared_ptr<Names>& names)
{
    host.engine.get_control_osc()->set_name_lookup(
        [names](const std::string& host, in_addr& out) { return names->lookup(host, out); });
}

std::string url_at(const std::string& host, const OscClient& c)
{
    return "osc.udp://" + host + ":" + std::to_string(c.port()) + "/";
}

TEST(OscHostNames, ANameBeingLookedUpHoldsUpNobodyElse)
{
    auto names = std::make_shared<Names>(std::map<std::string, std::string>{{"studio-pc", "127.0.0.1"}});
    EngineHost host;
    OscClient a(host.port), slow(host.port), never(host.port);
    ASSERT_TRUE(host.ok && a.ok() && slow.ok() && never.ok());
    use(host, names);

    const std::string studio = url_at("studio-pc", slow);
    ASSERT_TRUE(slow.send("/ping", studio, "/late"));
    ASSERT_TRUE(names->asked_for("studio-pc"));
    ASSERT_TRUE(slow.send("/get", "tempo", studio, "/late_get"));
    for (int k = 0; k < 5; ++k) {
        ASSERT_TRUE(slow.send("/register_auto_update", "tempo", 100, studio, "/auto"));
    }
    // A flood of names queues a bounded number of lookups.
    for (int k = 0; k < 100; ++k) {
        ASSERT_TRUE(never.send("/ping", url_at("nowhere-" + std::to_string(k), never), "/never"));
    }

    // Answered while "studio-pc" is still being looked up.
    OscMsg m;
    EXPECT_TRUE(a.send("/ping", a.url(), "/pong") && a.wait("/pong", m));
    EXPECT_TRUE(a.send("/get", "tempo", a.url(), "/tempo") && a.wait("/tempo", m));
    EXPECT_TRUE(a.send("/register_auto_update", "tempo", 100, a.url(), "/auto") && a.wait("/auto", m));
    EXPECT_TRUE(slow.collect(0).empty());

    // Then everything that waited, in order; the names that never resolve
    // are dropped with one line.
    testing::internal::CaptureStderr();
    names->release_all();
    const auto late = slow.collect(500);
    ASSERT_GE(late.size(), 3u);
    EXPECT_EQ(late[0].path, "/late");
    EXPECT_EQ(late[0].s(0), host.engine.get_osc_url());
    EXPECT_EQ(late[1].path, "/late_get");
    EXPECT_EQ(late[2].path, "/auto");
    EXPECT_TRUE(never.collect(200).empty());
    ASSERT_TRUE(a.sync());
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said.find("OSC: host \"nowhere-"), 0u) << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_LE(names->asked().size(), 1u + Quillomat::NameResolver::MaxQueued);
}

TEST(OscHostNames, NamesAreLookedUpOnceAndAddressesNever)
{
    auto names = std::make_shared<Names>(std::map<std::string, std::string>{{"gui-box", "127.0.0.1"}}, true);
    EngineHost host;
    OscClient a(host.port), b(host.port);
    ASSERT_TRUE(host.ok && a.ok() && b.ok());
    use(host, names);
    testing::internal::CaptureStderr();
    struct Row {
        std::string host;
        bool answered;
    };
    const Row rows[] = {{"localhost", true}, {"LocalHost", true}, {"127.0.0.1", true},
                        {"gui-box", true},   {"gui-box", true},   {"nowhere", false},
                        {"nowhere", false}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.host);
        OscMsg m;
        for (OscClient* c : {&a, &b}) {
            EXPECT_EQ(c->send("/ping", url_at(r.host, *c), "/pong") && c->wait("/pong", m, 500), r.answered);
        }
    }
    EXPECT_EQ(names->asked(), (std::map<std::string, int>{{"gui-box", 1}, {"nowhere", 1}}));
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
}

TEST(OscHostNames, TheServerClosesWhileALookupHangs)
{
    auto names = std::make_shared<Names>(std::map<std::string, std::string>{});
    auto host = std::make_unique<EngineHost>();
    OscClient c(host->port);
    ASSERT_TRUE(host->ok && c.ok());
    use(*host, names);
    ASSERT_TRUE(c.send("/ping", url_at("studio-pc", c), "/late"));
    ASSERT_TRUE(names->asked_for("studio-pc"));
    auto closed = std::async(std::launch::async, [&host] { host.reset(); });
    const bool at_once = closed.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    names->release_all();
    closed.wait();
    EXPECT_TRUE(at_once);
}

} // namespace
