// The OSC address space over real loopback UDP: every method's effect and
// answer, what is refused without an answer, subscriptions and updates.
#include "control_osc.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "file_fixture.h"
#include "looper.h"
#include "osc_fixture.h"
#include "version.h"

using namespace Quillomat;
using qmtest::EngineHost;
using qmtest::OscClient;
using qmtest::OscMsg;

namespace {

const float kNaN = std::nanf("");

std::vector<OscMsg> on_path(const std::vector<OscMsg>& all, const std::string& path)
{
    std::vector<OscMsg> out;
    for (const OscMsg& m : all) {
        if (m.path == path) out.push_back(m);
    }
    return out;
}

std::string temp_path(const std::string& name)
{
    return ::testing::TempDir() + "qm_osc_" + std::to_string(getpid()) + "_" + name;
}

// The bytes of m under path; m is freed.
std::string datagram(const char* path, lo_message m)
{
    size_t size = 0;
    void* bytes = lo_message_serialise(m, path, nullptr, &size);
    std::string out((const char*)bytes, size);
    free(bytes);
    lo_message_free(m);
    return out;
}

std::string bundle(const std::vector<std::string>& parts)
{
    std::string b("#bundle\0\0\0\0\0\0\0\0\1", 16);
    for (const std::string& p : parts) {
        const uint32_t size = htonl((uint32_t)p.size());
        b += std::string((const char*)&size, 4) + p;
    }
    return b;
}

std::string ping(const std::string& url, const char* path)
{
    lo_message m = lo_message_new();
    lo_message_add_string(m, url.c_str());
    lo_message_add_string(m, path);
    return datagram("/ping", m);
}

class OscTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(host.ok);
        ASSERT_NE(host.port, 0);
        ASSERT_TRUE(a.ok() && b.ok());
    }
    // Waits until `to` has been told of every change made before: requests
    // are done once a ping is answered, and a change that `from` makes then
    // is told after those already queued.
    bool told_all(OscClient& from, OscClient& to)
    {
        static float mark = 0.0f;
        mark += 1.0f;
        OscMsg m;
        return from.sync() && from.send("/qm/-2/set", "input_gain", mark) && to.wait("/fence", m) && m.f(2) == mark;
    }
    int loops_by_ping()
    {
        OscMsg m;
        if (!a.send("/ping", a.url(), "/count") || !a.wait("/count", m)) return -1;
        return m.i(2);
    }
    EngineHost host;
    OscClient a{host.port}, b{host.port};
};

TEST_F(OscTest, GetsAndPingAnswerWithTheirTypesAndArguments)
{
    ASSERT_TRUE(host.engine.add_loop(2, 1.0f, true));
    struct Row {
        std::string path;
        std::vector<std::string> args;  // before url and the answer path
        std::string types;
        int instance;
        std::string name;
        float value;
    };
    const Row rows[] = {
        {"/get", {"tempo"}, "isf", -2, "tempo", 110.0f},
        {"/get", {"eighth_per_cycle"}, "isf", -2, "eighth_per_cycle", 16.0f},
        {"/get", {"no_such_param"}, "isf", -2, "no_such_param", 0.0f},
        {"/qm/0/get", {"channel_count"}, "isf", 0, "channel_count", 2.0f},
        {"/qm/0/get", {"wet"}, "isf", 0, "wet", 1.0f},
        {"/qm/0/get", {"bogus"}, "isf", 0, "unknown", 0.0f},
        {"/qm/-1/get", {"channel_count"}, "isf", -1, "channel_count", 0.0f},
        {"/qm/127/get", {"channel_count"}, "isf", 127, "channel_count", 0.0f},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.path + " " + r.args[0]);
        ASSERT_TRUE(a.send(r.path, r.args[0], a.url(), "/answer"));
        OscMsg m;
        ASSERT_TRUE(a.wait("/answer", m));
        EXPECT_EQ(m.types, r.types);
        EXPECT_EQ(m.i(0), r.instance);
        EXPECT_EQ(m.s(1), r.name);
        EXPECT_FLOAT_EQ(m.f(2), r.value);
    }

    OscMsg pong;
    ASSERT_TRUE(a.send("/ping", a.url(), "/pong") && a.wait("/pong", pong));
    EXPECT_EQ(pong.types, "ssi");
    EXPECT_EQ(pong.s(0), host.engine.get_osc_url());
    EXPECT_NE(pong.s(0).find(":" + std::to_string(host.port)), std::string::npos);
    EXPECT_EQ(pong.s(1), quillomat_version);
    EXPECT_EQ(pong.i(2), 1);
}

TEST_F(OscTest, LoopsAreAddedAndRemovedByRequest)
{
    host.driver.start_audio(nullptr, nullptr, false);
    struct Row {
        std::function<bool()> send;
        int loops;
    };
    const Row rows[] = {
        {[&] { return a.send("/loop_add", 1, 2.0f); }, 1},
        {[&] { return a.send("/loop_add", 2, 1.0f, 0); }, 2},
        {[&] { return a.send("/loop_add", 0, 0.5f, 1); }, 3},  // default channel count
        {[&] { return a.send("/loop_add", 1, kNaN); }, 3},
        {[&] { return a.send("/loop_add", 1000, 1.0f); }, 3},
        {[&] { return a.send("/loop_del", 99); }, 3},
        {[&] { return a.send("/loop_del", -1); }, 2},
        {[&] { return a.send("/loop_del", 0); }, 1},
    };
    for (size_t k = 0; k < sizeof(rows) / sizeof(rows[0]); ++k) {
        SCOPED_TRACE(k);
        ASSERT_TRUE(rows[k].send());
        int loops = -1;
        // A removed loop counts until the audio thread has let go of it.
        for (int tries = 0; tries < 3000 && loops != rows[k].loops; ++tries) {
            loops = loops_by_ping();
            if (loops != rows[k].loops) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(loops, rows[k].loops);
    }
    host.stop();
    // What is left: the two-channel loop without its own inputs and outputs.
    EXPECT_EQ(host.engine.get_control_value(Event::ChannelCount, 0), 2.0f);
    EXPECT_EQ(host.engine.get_control_value(Event::HasDiscreteIO, 0), 0.0f);
}

// The audio thread writes what a command changed; it is read once that
// thread has stopped.
TEST_F(OscTest, CommandsAndControlChangesReachTheLoops)
{
    ASSERT_TRUE(host.engine.add_loop(1, 2.0f, true) && host.engine.add_loop(1, 2.0f, true));
    std::atomic<int> pulses{0};
    for (int l = 0; l < 2; ++l) std::fill_n(host.driver.input("loop" + std::to_string(l) + "_in_1"), 256, 0.5f);
    host.driver.start_audio(nullptr, [&](uint64_t) {
        const float* s = host.engine.get_internal_sync_buf();
        for (int j = 0; j < 256; ++j) pulses += s[j] != 0.0f ? 1 : 0;
    });
    auto blocks = [&](int n) { ASSERT_TRUE(host.driver.wait_blocks(n)); };

    // Each sync: the OSC thread has queued what came before, however loaded
    // the machine, so the blocks counted come after it.
    ASSERT_TRUE(a.send("/qm/0/hit", "record") && a.send("/qm/1/down", "record") && a.sync());
    blocks(20);
    ASSERT_TRUE(a.send("/qm/0/hit", "record") && a.send("/qm/1/up", "record") && a.sync());  // a short press: nothing
    blocks(10);
    ASSERT_TRUE(a.send("/qm/1/upforce", "record"));
    ASSERT_TRUE(a.send("/qm/0/set", "feedback", 0.5f) && a.send("/qm/-1/set", "rec_thresh", 0.25f));
    ASSERT_TRUE(a.send("/qm/0/set", "wet", kNaN) && a.send("/qm/0/hit", "no_such_command"));
    ASSERT_TRUE(a.send("/qm/-2/set", "wet", 0.5f));

    // MIDI clock by OSC counts only while it is the sync source.
    ASSERT_TRUE(a.send("/set", "sync_source", -2.0f) && a.sync());
    blocks(4);
    const int before = pulses;
    ASSERT_TRUE(a.send("/qm/midi_start"));
    for (int t = 0; t < 24; ++t) ASSERT_TRUE(a.send("/qm/midi_tick", 1));
    ASSERT_TRUE(a.send("/qm/midi_stop") && a.sync());
    blocks(4);
    const int clock_pulses = pulses - before;
    host.stop();

    EXPECT_EQ(clock_pulses, 2);  // the start, and a beat later (unquantized loops)
    for (int l = 0; l < 2; ++l) {
        SCOPED_TRACE(l);
        EXPECT_EQ(host.engine.get_control_value(Event::State, (int8_t)l), 4.0f);  // playing what was recorded
        EXPECT_GT(host.engine.get_control_value(Event::LoopLength, (int8_t)l), 0.1f);
        EXPECT_EQ(host.engine.get_control_value(Event::TriggerThreshold, (int8_t)l), 0.25f);
        EXPECT_EQ(host.engine.get_control_value(Event::WetLevel, (int8_t)l), 1.0f);
    }
    EXPECT_EQ(host.engine.get_control_value(Event::Feedback, 0), 0.5f);
    EXPECT_EQ(host.engine.get_control_value(Event::WetLevel, -2), 0.5f);
    // Loop 1 recorded from the press to the forced release, longer than loop 0.
    EXPECT_GT(host.engine.get_control_value(Event::LoopLength, 1), host.engine.get_control_value(Event::LoopLength, 0));
}

TEST_F(OscTest, BadMessagesAreDroppedWithoutAnswer)
{
    ASSERT_TRUE(host.engine.add_loop(1, 1.0f, true));
    const std::string url = a.url();
    const std::string huge(5000, 'x');
    std::vector<std::function<bool()>> bad = {
        [&] { return a.send("/qm/128/get", "wet", url, "/bad"); },
        [&] { return a.send("/qm/-3/get", "wet", url, "/bad"); },
        [&] { return a.send("/qm/x/get", "wet", url, "/bad"); },
        [&] { return a.send("/qm/0/get", "wet", url); },
        [&] { return a.send("/qm/0/get", 1, url, "/bad"); },
        [&] { return a.send("/qm/0/get", "wet", url, "/bad", "extra"); },
        [&] { return a.send("/ping", 5, 6); },
        [&] { return a.send("/ping", huge, "/bad"); },
        [&] { return a.send("/ping", url, huge); },
        [&] { return a.send("/get", "tempo", "osc.unix:///tmp/qm_no_such_socket", "/bad"); },
        [&] { return a.send("/get", "tempo", "osc.tcp://127.0.0.1:9/", "/bad"); },
        [&] { return a.send("/get", "tempo", "not a url", "/bad"); },
        [&] { return a.send("/get", "tempo", "osc.udp://", "/bad"); },  // liblo would read past its buffer
        [&] { return a.send("/get", "tempo", "osc.udp://:9/", "/bad"); },
        [&] { return a.send("/get", "tempo", "osc.udp://[::1", "/bad"); },
        [&] { return a.send("/get", "tempo", "osc.udp://127.0.0.1:99999/", "/bad"); },
        [&] { return a.send("/nonexistent", url, "/bad"); },
        [&] { return a.send("/qm/0/hit"); },
        [&] { return a.send("/set", "tempo", kNaN); },
        [&] { return a.send("/loop_add", "one", "two"); },
        [&] { return a.send("/qm/0/load_loop", huge, url, "/bad"); },
        [&] { return a.send("/learn_midi_binding", "0 cc 1  set wet 0  0 1", "", url, "/bad"); },  // no bridge
        [&] { return a.send("/get_all_midi_bindings", url, "/bad"); },
        [&] { return a.send_raw("garbage", 7); },
        [&] { return a.send_raw("/get\0\0\0\0,sss\0\0\0\0temp", 20); },  // cut short
        [&] { return a.send_raw("#bundle\0\0\0\0\0\0\0\0\1\0\0\0\x7f", 20); },
    };
    for (size_t k = 0; k < bad.size(); ++k) {
        SCOPED_TRACE(k);
        ASSERT_TRUE(bad[k]());
    }
    ASSERT_TRUE(a.sync());
    EXPECT_TRUE(on_path(a.collect(200), "/bad").empty());
    EXPECT_EQ(loops_by_ping(), 1);
    OscMsg m;
    ASSERT_TRUE(a.send("/get", "tempo", url, "/good") && a.wait("/good", m));
    EXPECT_FLOAT_EQ(m.f(2), 110.0f);  // the NaN was not taken
}

// Numbers of another type are converted, patterns reach every loop they
// match, bundles (also within bundles) act, and a path ending in "/" is
// answered with the names below it.
TEST_F(OscTest, ConvertedPatternedAndBundledMessagesAreTaken)
{
    ASSERT_TRUE(host.engine.add_loop(1, 1.0f, true) && host.engine.add_loop(1, 1.0f, true));
    host.driver.start_audio(nullptr, nullptr);
    lo_message wet = lo_message_new();
    lo_message_add_string(wet, "wet");
    lo_message_add_int32(wet, 0);
    lo_message feedback = lo_message_new();
    lo_message_add_symbol(feedback, "feedback");
    lo_message_add_double(feedback, 0.25);
    lo_message half = lo_message_new();
    lo_message_add_string(half, "wet");
    lo_message_add_float(half, 0.5f);
    const std::string inner = bundle({datagram("/qm/1/set", half)});
    lo_message thresh = lo_message_new();
    lo_message_add_string(thresh, "rec_thresh");
    lo_message_add_float(thresh, 0.5f);
    const std::string outer = bundle({datagram("/qm/[0-1]/set", thresh), inner});
    for (const std::string& d : {datagram("/qm/0/set", wet), datagram("/qm/*/set", feedback), outer}) {
        ASSERT_TRUE(a.send_raw(d.data(), d.size()));
    }
    // The one that stalled matching, and a pattern ending in "/": no listing.
    ASSERT_TRUE(a.send("/qm/*?*?*?*?*?*?*?*?[/set", "rec_thresh", 0.3f) && a.send("/qm/[0]/"));
    OscMsg m;
    ASSERT_TRUE(a.send("/qm/0/") && a.wait("#reply", m));
    ASSERT_TRUE(a.sync() && host.driver.wait_blocks(4));
    EXPECT_TRUE(on_path(a.collect(0), "#reply").empty());
    host.stop();
    EXPECT_EQ(host.engine.get_control_value(Event::WetLevel, 0), 0.0f);
    EXPECT_EQ(host.engine.get_control_value(Event::WetLevel, 1), 0.5f);
    for (int8_t l = 0; l < 2; ++l) {
        EXPECT_EQ(host.engine.get_control_value(Event::Feedback, l), 0.25f);
        EXPECT_EQ(host.engine.get_control_value(Event::TriggerThreshold, l), 0.5f);
    }
    ASSERT_EQ(m.args.size(), 13u);
    EXPECT_EQ(m.s(0) + m.s(1) + "," + m.s(12), "/qm/0/down,unregister_auto_update");
}

// With anything malformed in it at any depth, or nested deeper than 16
// bundles, no message of a bundle acts.
TEST_F(OscTest, ABundleActsWholeOrNotAtAll)
{
    const std::string url = a.url();
    auto nested = [](std::string inner, int bundles) {
        for (int k = 0; k < bundles; ++k) inner = bundle({inner});
        return inner;
    };
    auto padded = [](std::string s) { return s.append(4 - s.size() % 4, '\0'); };
    const std::string acted = ping(url, "/acted"), head = padded("/ping");
    const std::string bad[] = {
        head,                                                          // no type tags
        head + padded(",ss") + padded(url),                            // an argument missing
        head + padded(",sy") + padded(url) + padded("/acted"),         // an unknown type
        head + padded(",ss") + padded(url) + "/act",                   // a string running off the end
        std::string("#bundle\0\0\0\0\0\0\0\0\1\0\0\x10\0", 20) + acted,  // an element longer than its bundle
        std::string("#bundle\0", 8),                                   // no time tag
        "",                                                            // an empty element
        nested(acted, 14),                                             // 17 bundles deep in all
    };
    for (const std::string& b : bad) {
        SCOPED_TRACE(&b - bad);
        const std::string d = bundle({acted, nested(b, 2), acted});
        ASSERT_TRUE(a.send_raw(d.data(), d.size()));
    }
    // Good ones act in their order, 16 bundles deep too.
    const std::string good = bundle({ping(url, "/1"), nested(ping(url, "/2"), 15), ping(url, "/3")});
    ASSERT_TRUE(a.send_raw(good.data(), good.size()) && a.sync());
    std::string order;
    for (const OscMsg& m : a.collect(0)) order += m.path + " ";
    EXPECT_EQ(order, "/1 /2 /3 ");
}

// An answer's path that does not start with "/" would be no OSC address: such
// a path is taken as an unusable URL is, and nothing is ever sent to it.
TEST_F(OscTest, AReplyPathWithoutASlashGetsNothing)
{
    ASSERT_TRUE(host.engine.add_loop(1, 1.0f, true));
    host.driver.start_audio(nullptr, nullptr);
    const std::string url = a.url();
    struct Row {
        std::function<bool(const std::string&)> ask;
        std::function<bool()> then;  // what makes an answer come
    };
    auto nothing = [] { return true; };
    float dry = 0.0f;
    const Row rows[] = {
        {[&](const std::string& p) { return a.send("/ping", url, p); }, nothing},
        {[&](const std::string& p) { return a.send("/get", "tempo", url, p); }, nothing},
        {[&](const std::string& p) { return a.send("/qm/0/get", "wet", url, p); }, nothing},
        {[&](const std::string& p) { return a.send("/save_session", "", url, p); }, nothing},
        {[&](const std::string& p) { return a.send("/register_update", "dry", url, p); },
         [&] { return b.send("/set", "dry", dry += 0.125f) && b.sync(); }},
        {[&](const std::string& p) { return a.send("/register_auto_update", "wet", 100, url, p); }, nothing},
        {[&](const std::string& p) { return a.send("/register", url, p); },
         [&] { return a.send("/loop_add", 1, 1.0f); }},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(&r - rows);
        OscMsg m;
        ASSERT_TRUE(r.ask("/ok") && a.sync() && r.then() && a.wait("/ok", m));
        ASSERT_TRUE(r.ask("ok") && r.ask("") && a.sync() && r.then() && a.sync());
        // Past a polled update's round.
        for (const OscMsg& got : a.collect(250)) EXPECT_EQ(got.path.substr(0, 1), "/") << got.path;
    }
}

TEST_F(OscTest, ChangesReachOtherSubscribersButNotTheSender)
{
    ASSERT_TRUE(host.engine.add_loop(1, 1.0f, true));
    for (OscClient* c : {&a, &b}) {
        ASSERT_TRUE(c->send("/qm/0/register_update", "wet", c->url(), "/upd"));
        ASSERT_TRUE(c->send("/qm/0/register_update", "wet", c->url(), "/upd"));  // once only
        ASSERT_TRUE(c->send("/register_update", "dry", c->url(), "/upd"));
        ASSERT_TRUE(c->send("/register_update", "tempo", c->url(), "/upd"));
        ASSERT_TRUE(c->send("/register_update", "input_gain", c->url(), "/fence"));
        ASSERT_TRUE(c->sync());
    }
    ASSERT_TRUE(a.send("/qm/0/set", "wet", 0.25f));
    ASSERT_TRUE(a.send("/set", "dry", 0.75f));
    ASSERT_TRUE(a.send("/set", "tempo", -5.0f));  // refused: nobody hears of it
    ASSERT_TRUE(b.send("/qm/-2/set", "dry", 0.5f));
    ASSERT_TRUE(told_all(b, a) && told_all(a, b));

    const auto to_a = on_path(a.collect(0), "/upd");
    auto to_b = on_path(b.collect(0), "/upd");
    ASSERT_EQ(to_b.size(), 2u);
    // Requests and control changes travel separate queues: any order.
    if (to_b[0].s(1) != "wet") std::swap(to_b[0], to_b[1]);
    EXPECT_EQ(to_b[0].types, "isf");
    EXPECT_EQ(to_b[0].i(0), 0);
    EXPECT_EQ(to_b[0].s(1), "wet");
    EXPECT_FLOAT_EQ(to_b[0].f(2), 0.25f);
    EXPECT_EQ(to_b[1].i(0), -2);
    EXPECT_EQ(to_b[1].s(1), "dry");
    EXPECT_FLOAT_EQ(to_b[1].f(2), 0.75f);
    ASSERT_EQ(to_a.size(), 1u);
    EXPECT_EQ(to_a[0].s(1), "dry");
    EXPECT_FLOAT_EQ(to_a[0].f(2), 0.5f);

    // Unsubscribed, and a removed loop takes its subscriptions along.
    ASSERT_TRUE(b.send("/unregister_update", "dry", b.url(), "/upd"));
    ASSERT_TRUE(a.send("/loop_del", 0) && a.sync());
    ASSERT_TRUE(a.send("/set", "dry", 0.1f) && a.send("/qm/0/set", "wet", 0.5f));
    ASSERT_TRUE(told_all(a, b));
    EXPECT_TRUE(on_path(b.collect(0), "/upd").empty());
}

TEST_F(OscTest, PolledSubscribersGetTheCurrentValueAndThenOnlyChanges)
{
    ASSERT_TRUE(a.send("/register_auto_update", "wet", 100, a.url(), "/auto"));
    OscMsg m;
    ASSERT_TRUE(a.wait("/auto", m));
    EXPECT_EQ(m.types, "isf");
    EXPECT_EQ(m.i(0), -2);
    EXPECT_EQ(m.s(1), "wet");
    EXPECT_FLOAT_EQ(m.f(2), 1.0f);
    EXPECT_TRUE(on_path(a.collect(350), "/auto").empty());  // unchanged: nothing more

    // A later subscriber to the same unchanged value is not left waiting.
    ASSERT_TRUE(b.send("/register_auto_update", "wet", 100, b.url(), "/auto"));
    ASSERT_TRUE(b.wait("/auto", m));
    EXPECT_FLOAT_EQ(m.f(2), 1.0f);

    ASSERT_TRUE(a.send("/unregister_auto_update", "wet", a.url(), "/auto") && a.sync());
    host.driver.start_audio(nullptr, nullptr);
    ASSERT_TRUE(b.send("/qm/-2/set", "wet", 0.5f));
    bool changed = false;
    for (int k = 0; k < 10 && !changed; ++k) {
        changed = b.wait("/auto", m, 300) && m.f(2) == 0.5f;
    }
    EXPECT_TRUE(changed);
    EXPECT_TRUE(on_path(a.collect(300), "/auto").empty());
}

TEST_F(OscTest, ConfigurationListenersHearOfEveryLoopOnce)
{
    ASSERT_TRUE(a.send("/register", a.url(), "/cfg") && a.send("/register", a.url(), "/cfg"));
    ASSERT_TRUE(a.send("/loop_add", 1, 1.0f) && a.sync());
    auto cfg = on_path(a.collect(100), "/cfg");
    ASSERT_EQ(cfg.size(), 1u);
    EXPECT_EQ(cfg[0].types, "ssi");
    EXPECT_EQ(cfg[0].i(2), 1);

    ASSERT_TRUE(a.send("/unregister", a.url(), "/cfg") && a.send("/loop_add", 1, 1.0f) && a.sync());
    EXPECT_TRUE(on_path(a.collect(100), "/cfg").empty());
}

// Loops restored with indices that are not 0, 1, 2 ... are reached by their
// place, as every command is delivered.
TEST_F(OscTest, EveryLoopIsReachableAfterASessionWithScatteredIndices)
{
    ASSERT_TRUE(host.engine.add_loop(1, 1.0f, true) && host.engine.add_loop(3, 1.0f, true));
    std::string text;
    ASSERT_TRUE(host.engine.save_session("", &text));
    for (auto swap : {std::make_pair("index=\"0\"", "index=\"3\""), std::make_pair("index=\"1\"", "index=\"9\"")}) {
        const size_t at = text.find(swap.first);
        ASSERT_NE(at, std::string::npos);
        text.replace(at, std::string(swap.first).size(), swap.second);
    }
    ASSERT_TRUE(host.engine.load_session("scattered", &text));
    for (int l = 0; l < 2; ++l) {
        OscMsg m;
        ASSERT_TRUE(a.send("/qm/" + std::to_string(l) + "/get", "channel_count", a.url(), "/n") && a.wait("/n", m));
        EXPECT_EQ(m.f(2), l == 0 ? 1.0f : 3.0f);
    }
}

// A command sent in one burst with a request that adds, removes or replaces
// loops acts on the loops it named as it came, or on none. No block runs
// until the request is done, so the command is taken after it.
TEST(OscLoopOrder, ACommandReachesTheLoopsItNamedAsItCame)
{
    const std::string session = temp_path("order.qms");
    std::ofstream(session) << qmtest::session_text(1, 1, 1.0f);
    auto del = [](OscClient& c) { return c.send("/loop_del", 0); };
    struct Case {
        std::function<bool(OscClient&)> command, request;
        int loops, loop;  // loops once the request is done, and the one read
        Event::control_t control;
        float value;  // what it holds once blocks have run
    } cases[] = {
        {[](OscClient& c) { return c.send("/qm/0/set", "wet", 0.7f); }, del, 1, 0, Event::WetLevel, 1.0f},
        {[](OscClient& c) { return c.send("/qm/0/hit", "record"); }, del, 1, 0, Event::State, 0.0f},
        {[](OscClient& c) { return c.send("/qm/1/set", "wet", 0.6f); }, del, 1, 0, Event::WetLevel, 0.6f},
        {[](OscClient& c) { return c.send("/qm/-1/set", "wet", 0.5f); },
         [](OscClient& c) { return c.send("/loop_add", 1, 1.0f); }, 3, 2, Event::WetLevel, 1.0f},
        {[](OscClient& c) { return c.send("/qm/0/hit", "record"); },
         [&](OscClient& c) { return c.send("/load_session", session, "", ""); }, 1, 0, Event::State, 0.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        EngineHost host;
        OscClient a(host.port);
        ASSERT_TRUE(host.ok && a.ok());
        ASSERT_TRUE(host.engine.add_loop(1, 1.0f, true) && host.engine.add_loop(1, 1.0f, true));
        ASSERT_TRUE(c.command(a) && c.request(a) && a.sync());
        // A removed loop counts until it is let go of, here without a block.
        for (int t = 0; t < 3000 && (int)host.engine.live_loop_count() != c.loops; ++t) usleep(1000);
        ASSERT_EQ((int)host.engine.live_loop_count(), c.loops);
        host.driver.start_audio(nullptr, nullptr, false);
        ASSERT_TRUE(host.driver.wait_blocks(20));
        host.stop();
        EXPECT_EQ(host.engine.get_control_value(c.control, (int8_t)c.loop), c.value);
    }
    std::remove(session.c_str());
}

// The save a loop's set asks for, sent just before that loop is removed,
// saves that loop or none, never the one that takes its place.
TEST(OscLoopOrder, ASaveSetSavesNoOtherLoop)
{
    qmtest::ScratchDir dir;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EngineHost host;
    OscClient a(host.port);
    ASSERT_TRUE(host.ok && a.ok());
    ASSERT_TRUE(host.engine.add_loop(1, 1.0f, true) && host.engine.add_loop(1, 1.0f, true));
    ASSERT_EQ(chdir(dir.dir.c_str()), 0);
    // The save is done after the requests of its pass: the second ping
    // answers once it is.
    const bool sent = a.send("/qm/0/set", "save_loop", 1.0f) && a.send("/loop_del", 0) && a.sync() && a.sync();
    ASSERT_EQ(chdir(cwd), 0);
    ASSERT_TRUE(sent);
    // Loop 0 may have saved before it went; the survivor, loop 1, never.
    for (const std::string& name : dir.entries()) EXPECT_EQ(name.find("_loop01"), std::string::npos) << name;
}

// At the limit, a loop removed makes room for the next one once it is gone.
// The test thread runs the blocks, and none after the removal: the loop goes
// only once the engine finds audio idle, well after the add came.
TEST(OscLoopLimit, AnAddAfterARemovalWaitsForTheLoopToGo)
{
    EngineHost host;
    OscClient a(host.port);
    ASSERT_TRUE(host.ok && a.ok());
    const unsigned int limit = Engine::MaxLoops;
    for (unsigned int l = 0; l < limit; ++l) ASSERT_TRUE(host.engine.add_loop(1, 0.05f, true));
    host.engine.process(256);
    ASSERT_TRUE(a.send("/loop_del", -1) && a.send("/loop_add", 2, 0.05f) && a.sync());
    EXPECT_EQ(host.engine.loop_count(), limit);
    EXPECT_EQ(host.engine.get_control_value(Event::ChannelCount, (int8_t)(limit - 1)), 2.0f);
}

TEST_F(OscTest, FileRequestsAnswerOnlyTheirFailures)
{
    for (int l = 0; l < 3; ++l) ASSERT_TRUE(host.engine.add_loop(1, 0.5f, true));
    // Loop 0 records a little, from this thread as the audio thread.
    std::fill_n(host.driver.input("loop0_in_1"), 256, 0.5f);
    host.engine.push_command_event(Event::type_cmd_hit, Event::RECORD, 0);
    for (int k = 0; k < 40; ++k) host.engine.process(256);
    host.engine.push_command_event(Event::type_cmd_hit, Event::RECORD, 0);
    for (int k = 0; k < 4; ++k) host.engine.process(256);
    host.engine.loop_count();  // takes the loop list's lock: the engine thread sees what the blocks wrote

    const std::string session = temp_path("session.qms"), wav = temp_path("loop.wav");
    const std::string url = a.url();
    struct Row {
        std::function<bool()> send;
        std::vector<std::string> errors;
    };
    const Row rows[] = {
        {[&] { return a.send("/qm/0/save_loop", wav, "pcm16", "big", url, "/err"); }, {}},
        {[&] { return a.send("/qm/1/load_loop", wav, url, "/err"); }, {}},
        {[&] { return a.send("/qm/0/save_loop", "/nonexistent_dir/l.wav", "float", "little", url, "/err"); },
         {"Loop Save Failed"}},
        {[&] { return a.send("/qm/-1/load_loop", temp_path("missing.wav"), url, "/err"); },
         {"Loop Load Failed", "Loop Load Failed", "Loop Load Failed"}},
        {[&] { return a.send("/qm/7/load_loop", temp_path("missing.wav"), url, "/err"); }, {}},
        {[&] { return a.send("/save_session", session, url, "/err"); }, {}},
        {[&] { return a.send("/load_session", session, url, "/err"); }, {}},
        {[&] { return a.send("/save_session", "", url, "/err"); }, {"Session Save Failed"}},
        {[&] { return a.send("/save_session", "/nonexistent_dir/s.qms", url, "/err"); }, {"Session Save Failed"}},
        {[&] { return a.send("/load_session", temp_path("missing"), url, "/err"); }, {"Session Load Failed"}},
        {[&] { return a.send("/load_session", wav, url, "/err"); }, {"Session Load Failed"}},
    };
    for (size_t k = 0; k < sizeof(rows) / sizeof(rows[0]); ++k) {
        SCOPED_TRACE(k);
        ASSERT_TRUE(rows[k].send() && a.sync(10000));
        const auto got = on_path(a.collect(0), "/err");
        ASSERT_EQ(got.size(), rows[k].errors.size());
        for (size_t e = 0; e < got.size(); ++e) {
            EXPECT_EQ(got[e].types, "ss");
            EXPECT_EQ(got[e].s(0), host.engine.get_osc_url());
            EXPECT_EQ(got[e].s(1), rows[k].errors[e]);
        }
        if (k == 0) {
            SF_INFO info{};
            SNDFILE* f = sf_open(wav.c_str(), SFM_READ, &info);
            ASSERT_NE(f, nullptr);
            sf_close(f);
            EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, SF_FORMAT_PCM_16);
            EXPECT_GT(info.frames, 0);
        }
    }
    EXPECT_EQ(loops_by_ping(), 3);
    std::remove(session.c_str());
    std::remove(wav.c_str());
}

// A command queued by the OSC thread acts in the first block the engine
// starts after it was queued: it was sent after t0, and queued before the
// answer to a ping sent behind it came back (t2).
TEST(OscTiming, AHitActsInTheFirstBlockAfterItWasQueued)
{
    const Quillomat::nframes_t block = 2048;  // 43 ms: far longer than a loopback round trip
    EngineHost host(block);
    ASSERT_TRUE(host.ok && host.port);
    ASSERT_TRUE(host.engine.add_loop(1, 2.0f, true));
    OscClient c(host.port);
    ASSERT_TRUE(c.ok());

    const uint64_t kBlocks = 60;
    std::vector<float> state(kBlocks, -1.0f);
    host.driver.start_audio(nullptr,
                            [&](uint64_t k) {
                                if (k < kBlocks) state[k] = host.engine.get_control_value(Event::State, 0);
                            },
                            true, kBlocks);
    ASSERT_TRUE(host.driver.wait_blocks(10));
    ASSERT_TRUE(c.sync());  // the route is warm
    const double t0 = EventGenerator::createTimeStamp();
    ASSERT_TRUE(c.send("/qm/0/hit", "record"));
    ASSERT_TRUE(c.sync());
    const double t2 = EventGenerator::createTimeStamp();
    while (host.driver.blocks_run() < kBlocks) ASSERT_TRUE(host.driver.wait_blocks(1));
    host.stop();

    const auto& starts = host.driver.block_stamps();
    size_t k = 0;
    while (k < kBlocks && state[k] != 2.0f) ++k;  // recording
    ASSERT_LT(k, kBlocks);
    ASSERT_GE(k, 1u);
    EXPECT_GT(starts[k].inside, t0);      // not before it was sent
    EXPECT_LT(starts[k - 1].before, t2);  // no whole block started after it was queued without it
}

TEST(OscServer, BindsTheFirstFreePortAndReportsNoneWhenAllAreTaken)
{
    // Twenty ports of our own, then a server asked to search from the first.
    const int base = EngineHost::base_port() + 30000 - 20000;
    std::vector<int> socks;
    for (int p = base; p < base + ControlOSC::PortTries; ++p) {
        int fd = socket(AF_INET6, SOCK_DGRAM, 0);
        int off = 0;
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off));
        sockaddr_in6 addr{};
        addr.sin6_family = AF_INET6;
        addr.sin6_port = htons((uint16_t)p);
        addr.sin6_addr = in6addr_any;
        if (bind(fd, (sockaddr*)&addr, sizeof(addr)) != 0) {
            close(fd);
            for (int s : socks) close(s);
            GTEST_SKIP() << "port " << p << " is in use here";
        }
        socks.push_back(fd);
        if (p == base + 1) {
            // With two taken, the third is bound.
            ControlOSC two(nullptr, (unsigned)base);
            EXPECT_TRUE(two.is_ok());
            EXPECT_EQ(two.get_server_port(), base + 2);
        }
    }
    qmtest::TestDriver driver;
    Engine engine;
    ASSERT_TRUE(engine.initialize(&driver, 2, base, ""));
    EXPECT_TRUE(engine.is_ok());
    EXPECT_EQ(engine.get_osc_port(), 0);
    EXPECT_EQ(engine.get_osc_url(true), "");
    EXPECT_EQ(engine.get_control_osc()->get_unix_server_url(), "");
    engine.cleanup();
    for (int s : socks) close(s);
}

} // namespace
