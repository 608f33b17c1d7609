// The bridge with a port of its own: bytes written into a real named pipe,
// read by the bridge's MIDI thread, fire the bindings and the OSC echo.
#include "midi_bridge.h"

#include <fcntl.h>
#include <lo/lo.h>
#include <midi++/port_request.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <random>
#include <sstream>
#include <future>
#include <thread>

#include "thread_count.h"

using namespace std::chrono;
using Quillomat::Event;
using Quillomat::MidiBindInfo;
using Quillomat::MidiBridge;
using MIDI::PortRequest;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
typedef std::vector<std::string> Texts;

namespace {

class PortBridge : public testing::Test {
protected:
    PortBridge()
    {
        signal(SIGPIPE, SIG_IGN); // writers outlive the bridge's read end
        mkfifo(fifo.c_str(), 0600);
    }
    ~PortBridge() override { std::filesystem::remove_all(dir); }

    // What the engine would receive, as text; a frame other than -1 shows as "!".
    void got(std::string s, long frame)
    {
        std::lock_guard<std::mutex> lk(m);
        seen.push_back(s + (frame == -1 ? "" : "!"));
        cv.notify_all();
    }
    // Everything received once n have arrived (or after 5 s).
    Texts take(size_t n)
    {
        std::unique_lock<std::mutex> lk(m);
        cv.wait_for(lk, seconds(5), [&] { return seen.size() >= n; });
        Texts out;
        out.swap(seen);
        return out;
    }
    void attach(MidiBridge& bridge)
    {
        ASSERT_TRUE(bridge.is_ok());
        // The thread already runs: connect and bind under the bindings lock.
        Kvo::LockMonitor lm(bridge.bindings_lock(), __LINE__, __FILE__);
        bridge.MidiCommandEvent.connect([this](Event::type_t t, Event::command_t c, int8_t i, long f) {
            got("c" + std::to_string(t) + "/" + std::to_string(c) + "@" + std::to_string(i), f);
        });
        bridge.MidiControlEvent.connect([this](Event::type_t, Event::control_t c, float v, int8_t i, long f) {
            got("v" + std::to_string(c) + "=" + std::to_string(v) + "@" + std::to_string(i), f);
        });
        bridge.MidiSyncEvent.connect([this](Event::control_t c, long f) { got("s" + std::to_string(c), f); });
        std::istringstream text("0 cc 7  set wet -1  0 1  \n2 n 60  note record 0  0 1  \n0 pc 5  hit undo 1  0 1  \n");
        bridge.bindings().load_bindings(text, false);
    }
    int writer() { return open(fifo.c_str(), O_WRONLY); }
    void send(int fd, std::vector<unsigned char> b) { ASSERT_EQ(write(fd, b.data(), b.size()), ssize_t(b.size())); }
    static std::string temp_dir()
    {
        char t[] = "/tmp/qm_bridge_XXXXXX";
        return mkdtemp(t);
    }

    std::string dir = temp_dir();
    std::string fifo = dir + "/midi0";
    PortRequest req{fifo, "qm", "in", "fifo"};
    std::mutex m;
    std::condition_variable cv;
    Texts seen;
};

} // namespace

TEST_F(PortBridge, BytesFromTheFifoFireTheBindingsWhateverSurroundsThem)
{
    MidiBridge bridge("qm", req);
    attach(bridge);
    int w = writer();
    // Stray data bytes, a truncated controller, a clock inside a note, a
    // note-off as velocity 0 under running status, an undefined status with
    // its data, a note-off, a two-byte program change, start, unbound continue.
    send(w, {0x3C, 0x40, 0xB0, 0x07, 0x92, 0x3C, 0xF8, 0x40, 0x3C, 0x00, 0xF4, 0x01, 0xB0, 0x07, 0x7F,
             0x82, 0x3C, 0x10, 0xC0, 0x05, 0xFA, 0xFB});
    const Texts want = {"s34", "c0/5@0", "c1/5@0", "v2=1.000000@-1", "c1/5@0", "c3/0@1", "s32"};
    EXPECT_EQ(take(want.size()), want);

    // The writer goes and comes back: the thread neither stops nor spins.
    close(w);
    const std::clock_t cpu = std::clock();
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_LT(double(std::clock() - cpu) / CLOCKS_PER_SEC, 0.1);
    w = writer();
    send(w, {0xB0, 0x07, 0x00});
    EXPECT_EQ(take(1), Texts{"v2=0.000000@-1"});
    close(w);
}

TEST_F(PortBridge, APendingLearnPassesOverWhatItCannotBindAndTakesTheNote)
{
    MidiBridge bridge("qm", req);
    attach(bridge);
    {
        Kvo::LockMonitor lm(bridge.bindings_lock(), __LINE__, __FILE__);
        bridge.BindingLearned.connect([this](MidiBindInfo b) { got("learned " + b.serialize(), -1); });
    }
    MidiBindInfo learn;
    ASSERT_TRUE(learn.unserialize("0 n 0  note overdub 1  0 1  "));
    bridge.start_learn(learn);
    CaptureStderr();
    const int w = writer();
    // A tune request, a clock (still fires its sync), then the note; its
    // note-off under running status is no longer learned.
    send(w, {0xF6, 0xF8, 0x93, 0x24, 0x40, 0x24, 0x00, 0xF8});
    EXPECT_EQ(take(3), (Texts{"s34", "learned 3 n 36  note overdub 1  0 1  ", "s34"}));
    EXPECT_EQ(GetCapturedStderr(), "");
    close(w);
}

TEST_F(PortBridge, PortsThatCannotDeliverInputAreRefusedWithoutAThread)
{
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK); // lets a write-only pipe open
    const PortRequest cases[] = {{fifo, "qm", "in", "fifo"},   {dir + "/none", "qm", "in", "fifo"},
                                 {fifo, "qm", "out", "fifo"},  {"x", "qm", "out", "null"},
                                 {"x", "qm", "in", "coremidi"}, {"x", "qm", "inout", "null"}};
    const bool ok[] = {true, false, false, false, false, true};
    std::thread([] {}).join(); // a sanitizer's helper thread starts with the first thread
    const int before = qmtest::thread_count();
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        PortRequest r = cases[i];
        CaptureStderr();
        auto bridge = std::make_unique<MidiBridge>("qm", r);
        const std::string err = GetCapturedStderr();
        EXPECT_EQ(bridge->is_ok(), ok[i]);
        EXPECT_EQ(qmtest::thread_count(), before + ok[i]);
        EXPECT_EQ(err.empty(), ok[i]) << err;
        bridge.reset();
        EXPECT_EQ(qmtest::thread_count(), before);
    }
    close(reader);
}

TEST_F(PortBridge, TheDestructorStopsTheThreadPromptlyDuringAFlood)
{
    auto bridge = std::make_unique<MidiBridge>("qm", req);
    attach(*bridge);
    const int w = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        // Clocks (which fire) among random bytes, long system-exclusive runs
        // included, as fast as the pipe takes them.
        std::mt19937 rng(7);
        std::vector<unsigned char> block(4096);
        while (!stop.load()) {
            for (size_t i = 0; i < block.size(); ++i) block[i] = i % 16 ? rng() : 0xF8;
            if (write(w, block.data(), block.size()) < 0 && errno == EPIPE) std::this_thread::yield();
        }
    });
    EXPECT_GE(take(1000).size(), 1000u);
    // Ended while the flood goes on; the flood stops only once it has.
    auto ended = std::async(std::launch::async, [&bridge] { bridge.reset(); });
    const bool during = ended.wait_for(seconds(30)) == std::future_status::ready;
    stop.store(true);
    flood.join();
    ended.wait();
    close(w);
    EXPECT_TRUE(during);
}

TEST_F(PortBridge, FiredBindingsAndSyncAreEchoedOverOsc)
{
    lo_server osc = lo_server_new_with_proto(nullptr, LO_UDP, nullptr);
    Texts heard;
    lo_server_add_method(osc, nullptr, nullptr,
                         [](const char* path, const char* types, lo_arg** argv, int argc, lo_message, void* h) {
                             std::string s = std::string(path) + " " + types;
                             // liblo packs the arguments: they need not be aligned for lo_arg.
                             for (int i = 0; i < argc; ++i) {
                                 float f;
                                 std::memcpy(&f, argv[i], sizeof(f));
                                 s += " " + (types[i] == 's' ? std::string((const char*)argv[i]) : std::to_string(f));
                             }
                             static_cast<Texts*>(h)->push_back(s);
                             return 0;
                         },
                         &heard);
    {
        MidiBridge bridge("qm", "osc.udp://127.0.0.1:" + std::to_string(lo_server_get_port(osc)) + "/", req);
        attach(bridge);
        const int w = writer();
        send(w, {0x92, 0x3C, 0x40, 0xB0, 0x07, 0x7F, 0xF8});
        EXPECT_EQ(take(3).size(), 3u);
        for (int i = 0; i < 50 && heard.size() < 3; ++i) lo_server_recv_noblock(osc, 100);
        EXPECT_EQ(heard, (Texts{"/qm/0/down s record", "/qm/-1/set sf wet 1.000000", "/qm/midi_tick "}));
        close(w);
    }
    lo_server_free(osc);

    // A URL that names no OSC address is reported; the bridge works without the echo.
    CaptureStderr();
    MidiBridge quiet("qm2", "not a url", req);
    EXPECT_NE(GetCapturedStderr().find("MidiBridge:: addr error -1: not an OSC URL: not a url\n"), std::string::npos);
    attach(quiet);
    const int w = writer();
    send(w, {0xFA});
    EXPECT_EQ(take(1), Texts{"s32"});
    close(w);
}
