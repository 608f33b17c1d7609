// qmstress [cycles] [seed]: opens the plug-in through its entry point and
// takes it through open, state restore, initialise, render (random block
// sizes from 1 to 4096 frames, random MIDI and resets between the calls),
// state save, clean-up and close, over and over, while a second thread sends
// random OSC (well-formed and not) to its port from a socket of its own.
// Ends with a non-zero status on any refused call, and aborts when one cycle
// hangs. Run it under the sanitizers for crashes and leaks.
//
// qmstress --storm [seconds] [seed]: one plug-in run in real time under a
// storm of ordinary requests (storm.h).
#include <lo/lo.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host.h"
#include "options.h"
#include "storm.h"

using namespace qmhost;

namespace {

typedef std::chrono::steady_clock Clock;

const uint32_t kMaxFrames = 4096;
const int kHangSeconds = 60;

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// Random OSC to whatever port is current; 0: none.
class OscNoise {
public:
    explicit OscNoise(unsigned seed) : _rng(seed) { _thread = std::thread([this] { run(); }); }
    ~OscNoise()
    {
        _done.store(true);
        _thread.join();
    }
    void set_port(int port) { _port.store(port); }
    unsigned long sent() const { return _sent.load(); }

private:
    void run()
    {
        // A socket of its own: liblo's default one is the first server's,
        // the plug-in's, which the tool closes while this thread sends.
        lo_server from = lo_server_new(nullptr, [](int, const char*, const char*) {});
        if (!from) {
            std::fprintf(stderr, "qmstress: no socket to send OSC from; no OSC this run\n");
            return;
        }
        lo_address to = nullptr;
        int current = 0;
        static const char* cmds[] = {"record", "overdub", "multiply", "insert", "replace", "undo",  "redo",
                                     "mute",   "reverse", "trigger",  "oneshot", "substitute", "nonsense"};
        static const char* ctrls[] = {"wet", "dry", "feedback", "rate", "quantize", "sync", "fade_samples", "bogus"};
        while (!_done.load()) {
            const int port = _port.load();
            if (port != current) {
                if (to) lo_address_free(to);
                to = port ? lo_address_new("127.0.0.1", std::to_string(port).c_str()) : nullptr;
                current = port;
            }
            if (to) {
                const int loop = (int)(_rng() % 4) - 1;
                const std::string base = "/qm/" + std::to_string(loop) + "/";
                auto send = [&](const std::string& path, const char* types, auto... args) {
                    lo_send_from(to, from, LO_TT_IMMEDIATE, path.c_str(), types, args...);
                };
                switch (_rng() % 8) {
                case 0: send(base + "hit", "s", cmds[_rng() % 13]); break;
                case 1: send(base + "down", "s", cmds[_rng() % 13]); break;
                case 2: send(base + "up", "s", cmds[_rng() % 13]); break;
                case 3:
                    send(base + "set", "sf", ctrls[_rng() % 8], (float)((int)(_rng() % 400) - 100) / 100.0f);
                    break;
                case 4: send("/set", "sf", "tempo", 40.0f + (float)(_rng() % 200)); break;
                case 5: send("/qm/-2/set", "sf", "wet", (float)(_rng() % 100) / 100.0f); break;
                case 6:
                    if (_rng() % 16 == 0) send("/loop_add", "if", 1 + (int)(_rng() % 2), 0.25f);
                    else send("/loop_del", "i", -1);
                    break;
                default: {
                    // Bytes that are no OSC message at all.
                    char junk[64];
                    for (char& c : junk) c = (char)_rng();
                    lo_blob blob = lo_blob_new(sizeof junk, junk);
                    lo_message m = lo_message_new();
                    lo_message_add_blob(m, blob);
                    lo_send_message_from(to, from, junk[0] & 1 ? "/qm/0/set" : "/\x01", m);
                    lo_message_free(m);
                    lo_blob_free(blob);
                }
                }
                _sent.fetch_add(1);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (to) lo_address_free(to);
        lo_server_free(from);
    }

    std::mt19937 _rng;
    std::atomic<int> _port{0};
    std::atomic<bool> _done{false};
    std::atomic<unsigned long> _sent{0};
    std::thread _thread;
};

// Aborts the process when a cycle does not finish in time.
class Watchdog {
public:
    Watchdog()
    {
        _thread = std::thread([this] {
            std::unique_lock<std::mutex> lk(_lock);
            while (!_done) {
                const unsigned long seen = _cycle;
                if (!_cv.wait_for(lk, std::chrono::seconds(kHangSeconds), [&] { return _done || _cycle != seen; })) {
                    std::fprintf(stderr, "qmstress: cycle %lu hangs\n", seen);
                    std::abort();
                }
            }
        });
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lk(_lock);
            _done = true;
        }
        _cv.notify_all();
        _thread.join();
    }
    void tick(unsigned long cycle)
    {
        std::lock_guard<std::mutex> lk(_lock);
        _cycle = cycle;
        _cv.notify_all();
    }

private:
    std::mutex _lock;
    std::condition_variable _cv;
    unsigned long _cycle = 0;
    bool _done = false;
    std::thread _thread;
};

} // namespace

int main(int argc, char** argv)
{
    ignore_broken_pipes();
    ignore_file_size_limit();
    if (argc > 1 && std::string(argv[1]) == "--storm") {
        const double seconds = argc > 2 ? std::strtod(argv[2], nullptr) : 20.0;
        return run_storm(seconds > 0 ? seconds : 20.0, argc > 3 ? (unsigned)std::strtoul(argv[3], nullptr, 10) : 1);
    }
    const unsigned long cycles = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000;
    const unsigned seed = argc > 2 ? (unsigned)std::strtoul(argv[2], nullptr, 10) : 1;
    std::mt19937 rng(seed);
    OscNoise noise(seed + 1);
    Watchdog watchdog;

    std::vector<std::vector<float>> in(2, std::vector<float>(kMaxFrames)), out(2, std::vector<float>(kMaxFrames));
    for (uint32_t f = 0; f < kMaxFrames; ++f) in[0][f] = in[1][f] = 0.3f * (float)((f * 7919u) % 200) / 200.0f - 0.15f;
    const float* inp[2] = {in[0].data(), in[1].data()};
    float* outp[2] = {out[0].data(), out[1].data()};

    CFPropertyListRef state = nullptr;  // carried from one cycle into the next
    unsigned long renders = 0, midi = 0;
    double worst = 0, total = 0;
    const Clock::time_point started = Clock::now();
    for (unsigned long cycle = 1; cycle <= cycles; ++cycle) {
        watchdog.tick(cycle);
        const Clock::time_point t = Clock::now();
        std::string error;
        PluginHost host;
        UnitSetup setup;
        setup.channels = 1 + rng() % 2;
        setup.max_frames = kMaxFrames;
        setup.tempo = rng() % 3 ? 120 : 0;
        if (!host.load(default_plugin_path(), "QuillomatAUEntry", error) || !host.configure(setup, error)) {
            std::fprintf(stderr, "qmstress: cycle %lu: %s\n", cycle, error.c_str());
            return 1;
        }
        // Restored before initialising about half of the time, after it otherwise.
        const bool early = rng() % 2;
        if (state && early && host.set_state(state) != noErr) {
            std::fprintf(stderr, "qmstress: cycle %lu: state refused before initialising\n", cycle);
            return 1;
        }
        if (!host.initialize(error)) {
            std::fprintf(stderr, "qmstress: cycle %lu: %s\n", cycle, error.c_str());
            return 1;
        }
        if (state && !early && host.set_state(state) != noErr) {
            std::fprintf(stderr, "qmstress: cycle %lu: state refused after initialising\n", cycle);
            return 1;
        }
        float port = 0;
        host.parameter(0, port);
        noise.set_port((int)port);
        const int blocks = 2 + (int)(rng() % 12);
        for (int b = 0; b < blocks; ++b) {
            const uint32_t frames = 1 + rng() % kMaxFrames;
            for (int m = (int)(rng() % 4); m > 0; --m, ++midi)
                MusicDeviceMIDIEvent(host.unit(), 0x80 + rng() % 0x80, rng() % 128, rng() % 128, rng() % frames);
            // Hosts reset a unit when playback starts anew, between any two calls.
            if (rng() % 8 == 0 && AudioUnitReset(host.unit(), kAudioUnitScope_Global, 0) != noErr) {
                std::fprintf(stderr, "qmstress: cycle %lu: reset refused\n", cycle);
                return 1;
            }
            if (!host.render(inp, outp, frames, error)) {
                std::fprintf(stderr, "qmstress: cycle %lu: %s\n", cycle, error.c_str());
                return 1;
            }
            ++renders;
            // Room for OSC to arrive between the calls, as in a real run.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (state) CFRelease(state);
        state = nullptr;
        if (host.get_state(state) != noErr || !state) {
            std::fprintf(stderr, "qmstress: cycle %lu: no state saved\n", cycle);
            return 1;
        }
        noise.set_port(0);
        // Cleaned up before closing, or closed while running, as hosts do both.
        if (rng() % 4) AudioUnitUninitialize(host.unit());
        host.close();
        const double ms = ms_since(t);
        worst = ms > worst ? ms : worst;
        total += ms;
    }
    if (state) CFRelease(state);
    std::printf("qmstress: %lu cycles, %lu render calls, %lu MIDI messages, %lu OSC messages in %.1f s; "
                "cycle mean %.1f ms, worst %.1f ms\n",
                cycles, renders, midi, noise.sent(), ms_since(started) / 1000.0, cycles ? total / (double)cycles : 0.0,
                worst);
    return 0;
}
