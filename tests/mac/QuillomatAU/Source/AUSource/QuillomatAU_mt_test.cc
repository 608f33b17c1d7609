// The effect with its threads running: repeated open, initialise, render and
// close cycles with OSC arriving meanwhile, and session changes from the
// host's thread meeting loop changes from the engine thread.
#include <atomic>
#include <random>
#include <regex>
#include <set>
#include <thread>

#include "osc_client.h"
#include "plugin_rig.h"

namespace {

using qmtest::PluginRig;
using qmtest::loops_in;

// Sends a little of everything to the port until stopped.
class OscNoise {
public:
    explicit OscNoise(int port, unsigned seed) : _port(port), _seed(seed) {}
    ~OscNoise() { stop(); }
    void start()
    {
        if (_port > 0) _thread = std::thread([this] { run(); });
    }
    void stop()
    {
        _done.store(true);
        if (_thread.joinable()) _thread.join();
    }

private:
    void run()
    {
        qmtest::OscClient c(_port);
        std::mt19937 rng(_seed);
        const char* cmds[] = {"record", "overdub", "multiply", "undo", "redo", "mute", "reverse", "bogus"};
        while (!_done.load()) {
            switch (rng() % 6) {
            case 0: c.send("/qm/0/hit", cmds[rng() % 8]); break;
            case 1: c.send("/qm/-1/set", "wet", (float)(rng() % 100) / 100.0f); break;
            case 2: c.send("/qm/0/get", "state", c.url(), "/s"); break;
            case 3: c.send("/set", "tempo", 60.0f + (float)(rng() % 120)); break;
            case 4: c.send("/ping", c.url(), "/pong"); break;
            default: c.send("/qm/-2/set", "dry", 0.5f); break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    }

    int _port;
    unsigned _seed;
    std::atomic<bool> _done{false};
    std::thread _thread;
};

TEST(PluginCycles, OpenInitialiseRenderCloseOverAndOver)
{
    std::mt19937 rng(20240611);
    for (int cycle = 0; cycle < 12; ++cycle) {
        SCOPED_TRACE(cycle);
        PluginRig rig;
        const UInt32 max_frames = 1 + rng() % 4096;
        rig.configure(1 + rng() % 2, max_frames);
        ASSERT_EQ(noErr, AudioUnitInitialize(rig.unit));
        OscNoise noise((int)rig.param0(), (unsigned)cycle);
        noise.start();
        for (int b = 0; b < 6; ++b) {
            if (rng() % 2) MusicDeviceMIDIEvent(rig.unit, 0x90 | (rng() % 16), rng() % 128, rng() % 128, rng() % 64);
            ASSERT_EQ(noErr, rig.render(1 + rng() % max_frames));
        }
        noise.stop();
        // Every other unit is closed without clean-up, as a host may.
        if (cycle % 2) AudioUnitUninitialize(rig.unit);
    }
}

// A session replaced from the host's thread while loops come and go on the
// engine thread: each save is one whole session, its loops numbered from 0.
TEST(PluginCycles, SessionChangesFromBothSidesDoNotInterleave)
{
    PluginRig rig;
    rig.configure(2, 256);
    ASSERT_EQ(noErr, AudioUnitInitialize(rig.unit));
    const int port = (int)rig.param0();
    if (port == 0) GTEST_SKIP() << "no free OSC port from 10051 on this machine";

    std::atomic<bool> done{false};
    std::thread audio([&] {
        // The render thread renders; nothing else uses the unit from here.
        PluginRig* r = &rig;
        while (!done.load()) {
            r->render(256);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    qmtest::OscClient client(port);
    ASSERT_TRUE(client.ok());
    const std::string one_loop = rig.saved("QMSessionXML");
    const std::regex index_re("<Looper index=\"(\\d+)\"");
    for (int round = 0; round < 30; ++round) {
        client.send("/loop_add", 1, 0.5f);
        client.send("/loop_add", 1, 0.5f);
        ASSERT_EQ(noErr, rig.restore_blocks({{"QMSessionXML", one_loop}}));
        const std::string saved = rig.saved("QMSessionXML");
        std::set<int> seen;
        for (std::sregex_iterator it(saved.begin(), saved.end(), index_re), end; it != end; ++it)
            EXPECT_TRUE(seen.insert(std::stoi((*it)[1])).second) << "loop index twice in\n" << saved;
    }
    done.store(true);
    audio.join();
    EXPECT_TRUE(client.sync());
}

} // namespace
