// The bridge with a port of its own: bytes written into a real named pipe,
// read by the bridge's MIDI thread, fire the bindings and the OSC echo.
#include "midi_bridge.h"

#include <dirent.h>
#include <fcntl.h>
#include <lo/lo.h>
#include <midi++/port_request.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono;
using Quillomat::Event;
using Quillomat::MidiBindInfo;
using Quillomat::MidiBridge;
using MIDI::PortRequest;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

int threads_now()
{
    int n = 0;
    DIR* d = opendir("/proc/self/task");
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

// What the engine would receive, as text: "c<type>/<command>@<loop>",
// "v<control>=<value>@<loop>", "s<sync>"; every frame must be -1.
struct Sink : public SigC::Object {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> got;
    void add(std::string s, long frame)
    {
        std::lock_guard<std::mutex> lk(m);
        got.push_back(frame == -1 ? s : s + " frame " + std::to_string(frame));
        cv.notify_all();
    }
    void command(Event::type_t t, Event::command_t c, int8_t i, long f)
    {
        add("c" + std::to_string(t) + "/" + std::to_string(c) + "@" + std::to_string(i), f);
    }
    void control(Event::type_t, Event::control_t c, float v, int8_t i, long f)
    {
        add("v" + std::to_string(c) + "=" + std::to_string(v) + "@" + std::to_string(i), f);
    }
    void sync(Event::control_t c, long f) { add("s" + std::to_string(c), f); }
    // Everything received once n have arrived (or after 5 s), then cleared.
    std::vector<std::string> take(size_t n)
    {
        std::unique_lock<std::mutex> lk(m);
        cv.wait_for(lk, seconds(5), [&] { return got.size() >= n; });
        return std::move(got);
    }
};

class PortBridge : public testing::Test {
protected:
    PortBridge() : dir(std::filesystem::temp_directory_path() / ("qm_bridge_" + std::to_string(getpid())))
    {
        signal(SIGPIPE, SIG_IGN); // our writers outlive the bridge's read end
        std::filesystem::create_directories(dir);
        mkfifo(fifo.c_str(), 0600);
    }
    ~PortBridge() override { std::filesystem::remove_all(dir); }

    void attach(MidiBridge& bridge, const std::vector<std::string>& lines)
    {
        ASSERT_TRUE(bridge.is_ok());
        // The thread already runs: connect and bind under the bindings lock.
        Kvo::LockMonitor lm(bridge.bindings_lock(), __LINE__, __FILE__);
        bridge.MidiCommandEvent.connect(SigC::slot(sink, &Sink::command));
        bridge.MidiControlEvent.connect(SigC::slot(sink, &Sink::control));
        bridge.MidiSyncEvent.connect(SigC::slot(sink, &Sink::sync));
        for (const std::string& l : lines) {
            MidiBindInfo b;
            ASSERT_TRUE(b.unserialize(l));
            bridge.bindings().add_binding(b, false);
        }
    }
    void send(int fd, std::vector<unsigned char> bytes) { ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size())); }

    std::filesystem::path dir;
    std::string fifo = (dir / "midi0").string();
    Sink sink;
};

const std::vector<std::string> bindings = {"0 cc 7  set wet -1  0 1  ", "2 n 60  note record 0  0 1  ",
                                           "0 pc 5  hit undo 1  0 1  "};

} // namespace

TEST_F(PortBridge, BytesFromTheFifoFireTheBindingsWhateverSurroundsThem)
{
    PortRequest req(fifo, "qm", "in", "fifo");
    MidiBridge bridge("qm", req);
    attach(bridge, bindings);
    int w = open(fifo.c_str(), O_WRONLY);
    // Stray data bytes, a truncated controller, an undefined status, a clock
    // inside a note, note-off as note-on velocity 0 under running status, a
    // short (two-byte) program change, start, an unbound continue.
    send(w, {0x3C, 0x40, 0xB0, 0x07, 0x92, 0x3C, 0xF8, 0x40, 0x3C, 0x00, 0xF4, 0x01, 0xB0, 0x07, 0x7F,
             0x82, 0x3C, 0x10, 0xC0, 0x05, 0xFA, 0xFB});
    const std::vector<std::string> want = {"s34", "c0/5@0", "c1/5@0", "v2=1.000000@-1", "c1/5@0", "c3/0@1", "s32"};
    EXPECT_EQ(sink.take(want.size()), want);

    // The writer goes and comes back: the thread neither stops nor spins.
    close(w);
    const std::clock_t cpu = std::clock();
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_LT(double(std::clock() - cpu) / CLOCKS_PER_SEC, 0.1);
    w = open(fifo.c_str(), O_WRONLY);
    send(w, {0xB0, 0x07, 0x00});
    EXPECT_EQ(sink.take(1), std::vector<std::string>{"v2=0.000000@-1"});
    close(w);
}

TEST_F(PortBridge, PortsThatCannotDeliverInputAreRefusedWithoutAThread)
{
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK); // lets the write-only pipe open
    struct Case {
        std::string dev, mode, kind;
        bool ok;
    } cases[] = {
        {fifo, "in", "fifo", true},       {"/nonexistent/midi", "in", "fifo", false},
        {fifo, "out", "fifo", false},     {"x", "out", "null", false},
        {"x", "in", "coremidi", false},   {"x", "sideways", "null", false},
        {"x", "inout", "null", true},
    };
    const int before = threads_now();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dev + " " + c.mode + " " + c.kind);
        PortRequest req(c.dev, "qm", c.mode, c.kind);
        CaptureStderr();
        auto bridge = std::make_unique<MidiBridge>("qm", req);
        const std::string err = GetCapturedStderr();
        EXPECT_EQ(bridge->is_ok(), c.ok);
        EXPECT_EQ(threads_now(), before + c.ok);
        EXPECT_EQ(err.empty(), c.ok) << err;
        bridge.reset();
        EXPECT_EQ(threads_now(), before);
    }
    close(reader);
}

TEST_F(PortBridge, TheDestructorStopsTheThreadPromptlyDuringAFlood)
{
    PortRequest req(fifo, "qm", "in", "fifo");
    auto bridge = std::make_unique<MidiBridge>("qm", req);
    attach(*bridge, bindings);
    const int w = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        // Clocks (which fire) among random bytes (long system-exclusive runs
        // included), as fast as the pipe takes them.
        std::mt19937 rng(7);
        std::vector<unsigned char> block(4096);
        while (!stop.load()) {
            for (size_t i = 0; i < block.size(); ++i) block[i] = i % 16 ? rng() : 0xF8;
            if (write(w, block.data(), block.size()) < 0 && errno == EPIPE) std::this_thread::yield();
        }
    });
    EXPECT_GE(sink.take(1000).size(), 1000u);
    const auto t0 = steady_clock::now();
    bridge.reset();
    const double ms = duration<double, std::milli>(steady_clock::now() - t0).count();
    stop.store(true);
    flood.join();
    close(w);
    EXPECT_LT(ms, 250.0);
    RecordProperty("destructor_ms", std::to_string(ms));
}

TEST_F(PortBridge, FiredBindingsAndSyncAreEchoedOverOsc)
{
    lo_server osc = lo_server_new_with_proto(nullptr, LO_UDP, nullptr);
    ASSERT_NE(osc, nullptr);
    std::vector<std::string> heard;
    lo_server_add_method(osc, nullptr, nullptr,
                         [](const char* path, const char* types, lo_arg** argv, int argc, lo_message, void* h) {
                             std::string s = std::string(path) + " " + types;
                             for (int i = 0; i < argc; ++i)
                                 s += " " + (types[i] == 's' ? std::string(&argv[i]->s) : std::to_string(argv[i]->f));
                             static_cast<std::vector<std::string>*>(h)->push_back(s);
                             return 0;
                         },
                         &heard);
    PortRequest req(fifo, "qm", "in", "fifo");
    const std::string url = "osc.udp://127.0.0.1:" + std::to_string(lo_server_get_port(osc)) + "/";
    MidiBridge bridge("qm", url, req);
    attach(bridge, bindings);
    const int w = open(fifo.c_str(), O_WRONLY);
    send(w, {0x92, 0x3C, 0x40, 0xB0, 0x07, 0x7F, 0xF8});
    EXPECT_EQ(sink.take(3).size(), 3u);
    for (int i = 0; i < 50 && heard.size() < 3; ++i) lo_server_recv_noblock(osc, 100);
    EXPECT_EQ(heard, (std::vector<std::string>{"/qm/0/down s record", "/qm/-1/set sf wet 1.000000", "/qm/midi_tick "}));
    close(w);
    lo_server_free(osc);

    // A URL that names no OSC address: said once, and the bridge works without the echo.
    PortRequest req2(fifo, "qm2", "in", "fifo");
    CaptureStderr();
    MidiBridge quiet("qm2", "not a url", req2);
    EXPECT_NE(GetCapturedStderr().find("MidiBridge:: addr error -1: not an OSC URL: not a url\n"), std::string::npos);
    attach(quiet, bindings);
    const int w2 = open(fifo.c_str(), O_WRONLY);
    send(w2, {0xFA});
    EXPECT_EQ(sink.take(1), std::vector<std::string>{"s32"});
    close(w2);
}
