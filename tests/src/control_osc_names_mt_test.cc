// Reply addresses that name a host: the name is looked up away from the
// engine thread, so that one that takes long (or never resolves) holds up
// nobody else, nor the close. The lookup is the test's own, answered when the
// test says, or the system's, held on a file the test controls.
#include "control_osc.h"

#include <AudioUnit/AudioUnit.h>
#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "file_fixture.h"
#include "local_names.h"
#include "osc_fixture.h"
#include "thread_count.h"

using qmtest::EngineHost;
using qmtest::OscClient;
using qmtest::OscMsg;
using qmtest::thread_count;

namespace {

// The system's lookups of this test, once the aliases let go of a name, ask
// a name server on loopback only.
const bool lookups_kept_here = [] {
    static qmtest::ScratchDir dir;
    qmtest::put(dir.path("hosts"), "127.0.0.1 localhost\n");
    qmtest::put(dir.path("resolv.conf"), "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n");
    return qmtest::keep_lookups_here(dir.path("hosts"), dir.path("resolv.conf"));
}();

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
    // Waits (up to 3 s) until n names are being looked up.
    bool asked_at_least(size_t n)
    {
        std::unique_lock<std::mutex> l(_lock);
        return _changed.wait_for(l, std::chrono::seconds(3), [&] { return _asked.size() >= n; });
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
        [names](const std::string& host, in_addr& out) {
            return names->lookup(host, out) ? Quillomat::NameResolver::Resolved : Quillomat::NameResolver::Failed;
        });
}

std::string url_at(const std::string& host, const OscClient& c)
{
    return "osc.udp://" + host + ":" + std::to_string(c.port()) + "/";
}

TEST(OscHostNames, ANameBeingLookedUpHoldsUpNobodyElse)
{
    auto names = std::make_shared<Names>(
        std::map<std::string, std::string>{{"studio-pc", "127.0.0.1"}, {"gui-box", "127.0.0.1"}});
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
    // A burst of names that hang as well.
    for (int k = 0; k < 80; ++k) {
        ASSERT_TRUE(never.send("/ping", url_at("nowhere-" + std::to_string(k), never), "/never"));
    }
    ASSERT_TRUE(names->asked_for("nowhere-79"));

    // Answered while those are still being looked up: an address, and a
    // name that resolves at once.
    OscMsg m;
    EXPECT_TRUE(a.send("/ping", a.url(), "/pong") && a.wait("/pong", m));
    EXPECT_TRUE(a.send("/get", "tempo", a.url(), "/tempo") && a.wait("/tempo", m));
    EXPECT_TRUE(a.send("/register_auto_update", "tempo", 100, a.url(), "/auto") && a.wait("/auto", m));
    names->release("gui-box");
    EXPECT_TRUE(a.send("/ping", url_at("gui-box", a), "/named") && a.wait("/named", m));
    EXPECT_TRUE(slow.collect(0).empty());

    // Then everything that waited, in order; the names that never resolve
    // are dropped with one line.
    testing::internal::CaptureStderr();
    names->release_all();
    std::vector<OscMsg> late;
    for (int k = 0; k < 100 && late.size() < 3; ++k) {
        for (const OscMsg& got : slow.collect(50)) late.push_back(got);
    }
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
    // Replies go over IPv4 only.
    const Row rows[] = {{"localhost", true}, {"LocalHost", true}, {"127.0.0.1", true}, {"gui-box", true},
                        {"gui-box", true},   {"nowhere", false},  {"nowhere", false},   {"[::1]", false},
                        {"[::ffff:127.0.0.1]", false}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.host);
        OscMsg m;
        for (OscClient* c : {&a, &b}) {
            EXPECT_EQ(c->send("/ping", url_at(r.host, *c), "/pong") && c->wait("/pong", m, 500), r.answered);
        }
    }
    EXPECT_EQ(names->asked(), (std::map<std::string, int>{{"gui-box", 1}, {"nowhere", 1}}));
    // Why, once for each kind.
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 2) << said;
    EXPECT_NE(said.find("\"nowhere\" has no IPv4 address"), std::string::npos) << said;
    EXPECT_NE(said.find("[::1]:" + std::to_string(a.port()) + "/\" names an IPv6 address"), std::string::npos) << said;
}

// Out of memory as a lookup starts (its copy throws) or as it runs: the
// name fails now, is not kept, and is asked for again with the next send.
TEST(OscHostNames, AStartOrALookupThatThrowsFailsAndIsTriedAgain)
{
    struct Flaky {
        std::shared_ptr<std::atomic<int>> copies_failing = std::make_shared<std::atomic<int>>(0);
        std::shared_ptr<std::atomic<int>> lookups_failing = std::make_shared<std::atomic<int>>(0);
        Flaky() = default;
        Flaky(const Flaky& o) : copies_failing(o.copies_failing), lookups_failing(o.lookups_failing)
        {
            if (copies_failing->fetch_sub(1) > 0) throw std::bad_alloc();
        }
        Quillomat::NameResolver::State operator()(const std::string&, in_addr& out) const
        {
            if (lookups_failing->fetch_sub(1) > 0) throw std::bad_alloc();
            return inet_pton(AF_INET, "127.0.0.1", &out) == 1 ? Quillomat::NameResolver::Resolved
                                                               : Quillomat::NameResolver::Failed;
        }
    } flaky;
    EngineHost host;
    OscClient c(host.port);
    ASSERT_TRUE(host.ok && c.ok());
    host.engine.get_control_osc()->set_name_lookup(flaky);
    for (auto* failing : {flaky.copies_failing.get(), flaky.lookups_failing.get()}) {
        *failing = 5;
        OscMsg m;
        const std::string url = url_at(failing == flaky.copies_failing.get() ? "gui-box" : "studio-pc", c);
        bool answered = false;
        for (int k = 0; k < 50 && !answered; ++k) answered = c.send("/ping", url, "/named") && c.wait("/named", m, 100);
        EXPECT_TRUE(answered);
        EXPECT_LE(*failing, 0);
        c.collect(100);
    }
}

// Threads running now, once a sanitizer's helper thread (which starts with
// the first thread) runs as well.
int threads_before()
{
    std::thread([] {}).join();
    return thread_count();
}

// Waits (up to 10 s) until done() holds.
bool eventually(const std::function<bool()>& done)
{
    for (int i = 0; i < 1000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

bool threads_at_most(int n)
{
    return eventually([n] { return thread_count() <= n; });
}

TEST(OscHostNames, LookupsAreBoundedAndEachFreesWhatItHeldWhenItEnds)
{
    const int before = threads_before();
    auto names = std::make_shared<Names>(std::map<std::string, std::string>{});
    auto host = std::make_unique<EngineHost>();
    OscClient c(host->port);
    ASSERT_TRUE(host->ok && c.ok());
    use(*host, names);
    const int serving = thread_count();
    const size_t bound = Quillomat::NameResolver::max_lookups();

    testing::internal::CaptureStderr();
    for (size_t k = 0; k < bound + 10; ++k) {
        ASSERT_TRUE(c.send("/ping", url_at("nowhere-" + std::to_string(k), c), "/never"));
    }
    ASSERT_TRUE(c.sync());
    EXPECT_TRUE(names->asked_at_least(bound));
    EXPECT_EQ(names->asked().size(), bound);
    EXPECT_LE(thread_count(), serving + (int)bound);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("OSC: too many host names"), std::string::npos) << said;

    // Closed while every lookup hangs; once they end, nothing of them is left.
    host.reset();
    names->release_all();
    EXPECT_TRUE(threads_at_most(before));
    EXPECT_TRUE(eventually([&names] { return names.use_count() == 1; }));
}

// The system's lookup of a name without a dot, held until the test lets it
// go: the C library reads the aliases of such a name from the file
// HOSTALIASES names, here a FIFO that the test holds open and never writes,
// so that every lookup waits on it.
class HeldLookup {
public:
    static constexpr const char* kName = "studio-pc";

    HeldLookup() : _path(testing::TempDir() + "qm_aliases_" + std::to_string(getpid()))
    {
        unlink(_path.c_str());
        if (mkfifo(_path.c_str(), 0600) == 0) _fd = open(_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        setenv("HOSTALIASES", _path.c_str(), 1);
        // The name servers, asked after the release, get a second.
        setenv("RES_OPTIONS", "timeout:1 attempts:1", 1);
    }
    ~HeldLookup()
    {
        release();
        unsetenv("HOSTALIASES");
        unsetenv("RES_OPTIONS");
    }
    bool holding() const { return _fd >= 0; }
    // Waits (up to 5 s) until at least n lookups wait on the aliases.
    bool waiting(int n) const
    {
        for (int i = 0; i < 500 && readers() < n; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return readers() >= n;
    }
    // The name has no alias then; a later lookup finds no file.
    void release()
    {
        if (_fd < 0) return;
        unlink(_path.c_str());
        close(_fd);
        _fd = -1;
    }

private:
    // The descriptors of this process open on the FIFO, but the test's own.
    int readers() const
    {
        struct stat own;
        DIR* fds = opendir("/proc/self/fd");
        if (_fd < 0 || fstat(_fd, &own) != 0 || !fds) {
            if (fds) closedir(fds);
            return 0;
        }
        int n = 0;
        while (dirent* e = readdir(fds)) {
            struct stat st;
            const std::string at = std::string("/proc/self/fd/") + e->d_name;
            n += e->d_name[0] != '.' && stat(at.c_str(), &st) == 0 && st.st_dev == own.st_dev &&
                 st.st_ino == own.st_ino;
        }
        closedir(fds);
        return n - 1;
    }

    std::string _path;
    int _fd = -1;
};

// Closes osc on a thread of its own; false when that has not returned
// within 10 s (it is then left to run).
bool closes_at_once(std::unique_ptr<Quillomat::ControlOSC> osc)
{
    auto closed = std::make_shared<std::promise<void>>();
    std::future<void> done = closed->get_future();
    std::thread([closed, doomed = osc.release()] {
        delete doomed;
        closed->set_value();
    }).detach();
    return done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
}

TEST(OscHostNames, EveryCloseReturnsAtOnceWhileLookupsHang)
{
    const int before = threads_before();
    ASSERT_TRUE(lookups_kept_here) << "its lookups are kept on this machine only as root";
    HeldLookup held;
    ASSERT_TRUE(held.holding());
    const std::string url = std::string("osc.udp://") + HeldLookup::kName + ":9/";
    // More servers, each closed while its lookup hangs, than the C library
    // has threads of its own for lookups (20).
    for (int k = 1; k <= 25; ++k) {
        SCOPED_TRACE(k);
        auto osc = std::make_unique<Quillomat::ControlOSC>(nullptr, EngineHost::base_port());
        osc->send_pingack(true, url, "/late");
        EXPECT_TRUE(held.waiting(k));
        ASSERT_TRUE(closes_at_once(std::move(osc)));
    }
    held.release();
    EXPECT_TRUE(threads_at_most(before));
}

[[noreturn]] void quit(int code, const char* why)
{
    fprintf(stderr, "%s\n", why);
    _exit(code);
}

// Runs in a process of its own: a host loads the plug-in, a client names a
// host whose lookup hangs, and the host closes and unloads the plug-in. Once
// the lookup ends, nothing may return into the unloaded code.
[[noreturn]] void unload_while_a_lookup_hangs()
{
    const int before = threads_before();
    if (!lookups_kept_here) quit(7, "its lookups are kept on this machine only as root");
    HeldLookup held;
    void* plugin = dlopen(QM_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!plugin) quit(2, dlerror());
    ComponentRoutineProcPtr entry;
    void* sym = dlsym(plugin, "QuillomatAUEntry");
    std::memcpy(&entry, &sym, sizeof entry);
    ComponentDescription desc = {kAudioUnitType_MusicEffect, 0x6c6f6f70, 0x5175696c, 0, 0};
    Component component = sym ? RegisterComponent(&desc, entry, 0, nullptr, nullptr, nullptr) : nullptr;
    ComponentInstance unit = nullptr;
    // On a thread that ends before the unload: the plug-in's thread-local
    // objects would keep it loaded as long as their thread lives.
    auto host_thread = [](const std::function<void()>& calls) { std::thread(calls).join(); };
    AudioUnitParameterValue port = 0;
    host_thread([&] {
        if (component && OpenAComponent(component, &unit) == noErr && AudioUnitInitialize(unit) == noErr)
            AudioUnitGetParameter(unit, 0, kAudioUnitScope_Global, 0, &port);
    });
    if (port <= 0) quit(3, "the plug-in did not start its server");
    {
        OscClient c((int)port);
        if (!c.send("/ping", url_at(HeldLookup::kName, c), "/late") || !held.waiting(1))
            quit(4, "the name was not looked up");
    }
    host_thread([&] {
        AudioUnitUninitialize(unit);
        CloseComponent(unit);
        UnregisterComponent(component);
    });
    dlclose(plugin);
    held.release();
    // The lookup ends (a second later), and the plug-in goes with it.
    if (!threads_at_most(before)) quit(6, "a thread was left behind");
    if (!eventually([] { return !qmtest::code_mapped("self", "libQuillomatAU"); })) quit(5, "the plug-in stayed loaded");
    _exit(0);
}

TEST(OscHostNamesDeathTest, APlugInUnloadedWhileALookupHangsLeavesNothingRunning)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(unload_while_a_lookup_hangs(), testing::ExitedWithCode(0), "");
}

} // namespace
