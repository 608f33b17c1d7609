#include "storm.h"

#include <lo/lo.h>
#include <sndfile.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host.h"
#include "options.h"

namespace qmhost {
namespace {

typedef std::chrono::steady_clock Clock;

const uint32_t kMaxFrames = 512;
const double kRate = 48000;

bool write_tone(const std::string& path)
{
    SF_INFO info = {};
    info.samplerate = (int)kRate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) return false;
    std::vector<float> frames(2 * 24000);
    for (size_t i = 0; i < frames.size() / 2; ++i) {
        frames[2 * i] = 0.25f * (float)((i % 100) / 50.0 - 1.0);
        frames[2 * i + 1] = -frames[2 * i];
    }
    const bool ok = sf_writef_float(f, frames.data(), (sf_count_t)(frames.size() / 2)) == 24000;
    return sf_close(f) == 0 && ok;
}

// The host's side: blocks of random sizes at the pace of real time, MIDI
// between them, and now and then a preset restored on another thread.
class Host {
public:
    Host(PluginHost& host, unsigned seed) : _host(host), _rng(seed), _preset_rng(seed + 1)
    {
        for (uint32_t f = 0; f < kMaxFrames; ++f) {
            _in[0][f] = _in[1][f] = 0.2f * std::sin(0.05f * (float)f);
        }
        _audio = std::thread([this] { render(); });
        _presets = std::thread([this] { restore(); });
    }
    ~Host()
    {
        _done = true;
        _audio.join();
        _presets.join();
    }
    bool failed() const { return _failed; }
    unsigned long blocks() const { return _blocks; }
    unsigned long restores() const { return _restores; }

private:
    void render()
    {
        const float* in[2] = {_in[0], _in[1]};
        float* out[2] = {_out[0], _out[1]};
        Clock::time_point due = Clock::now();
        while (!_done) {
            const uint32_t frames = _rng() % 4 ? 256 : 1 + _rng() % kMaxFrames;
            if (_rng() % 16 == 0) {
                MusicDeviceMIDIEvent(_host.unit(), 0x90, _rng() % 128, 100, _rng() % frames);
            }
            std::string error;
            if (!_host.render(in, out, frames, error)) {
                std::fprintf(stderr, "qmstress: %s\n", error.c_str());
                _failed = true;
                return;
            }
            ++_blocks;
            due += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(frames / kRate));
            std::this_thread::sleep_until(due);
        }
    }

    void restore()
    {
        while (!_done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300 + _preset_rng() % 900));
            CFPropertyListRef state = nullptr;
            if (_host.get_state(state) != noErr || !state) {
                std::fprintf(stderr, "qmstress: no state saved\n");
                _failed = true;
                return;
            }
            if (_host.set_state(state) != noErr) {
                std::fprintf(stderr, "qmstress: state refused\n");
                _failed = true;
            }
            CFRelease(state);
            ++_restores;
        }
    }

    PluginHost& _host;
    std::mt19937 _rng;         // the audio thread's
    std::mt19937 _preset_rng;  // the restoring thread's
    float _in[2][kMaxFrames];
    float _out[2][kMaxFrames];
    std::atomic<bool> _done{false};
    std::atomic<bool> _failed{false};
    std::atomic<unsigned long> _blocks{0}, _restores{0};
    std::thread _audio, _presets;
};

// The client's side: ordinary requests of every kind, about 100 a second.
class Client {
public:
    explicit Client(int port) : _to(lo_address_new("127.0.0.1", std::to_string(port).c_str()))
    {
        _self = lo_server_new(nullptr, [](int, const char*, const char*) {});
        if (_self) {
            _url = "osc.udp://127.0.0.1:" + std::to_string(lo_server_get_port(_self)) + "/";
            lo_server_add_method(_self, "/pong", nullptr, on_pong, this);
            lo_server_add_method(_self, nullptr, nullptr, [](const char*, const char*, lo_arg**, int, lo_message,
                                                             void*) { return 0; },
                                 nullptr);
        }
    }
    ~Client()
    {
        if (_self) lo_server_free(_self);
        lo_address_free(_to);
    }
    bool ok() const { return _self != nullptr; }

    unsigned long storm(double seconds, unsigned seed, const std::string& scratch)
    {
        std::mt19937 rng(seed);
        const std::string session = scratch + "/storm.qms", saved = scratch + "/storm.wav",
                          tone = scratch + "/tone.wav";
        static const char* cmds[] = {"record", "overdub", "multiply", "undo", "redo",
                                     "reverse", "mute", "insert", "replace"};
        static const char* ctrls[] = {"wet", "dry", "feedback", "rate", "sync", "quantize"};
        static const char* gets[] = {"state", "loop_len", "loop_pos"};
        static const char* globals[] = {"tempo", "sync_source", "eighth_per_cycle"};
        static const float global_values[] = {90.0f, 120.0f, 1.0f, 0.0f, -3.0f, 8.0f};
        static const float lengths[] = {0.5f, 2.0f, 10.0f};
        static const int removals[] = {-1, 1, 2};
        const char* url = _url.c_str();
        unsigned long sent = 0;
        const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                         std::chrono::duration<double>(seconds));
        while (Clock::now() < end) {
            const std::string loop = "/qm/" + std::to_string((int)(rng() % 5) - 1) + "/";
            switch (rng() % 12) {
            case 0: send("/loop_add", "if", 1 + (int)(rng() % 4), lengths[rng() % 3]); break;
            case 1: send("/loop_del", "i", removals[rng() % 3]); break;
            case 2: send(loop + "hit", "s", cmds[rng() % 9]); break;
            case 3:
                send("/qm/" + std::to_string((int)(rng() % 6) - 2) + "/set", "sf", ctrls[rng() % 6],
                     (float)(rng() % 1000) / 1000.0f);
                break;
            case 4: send(loop + "get", "sss", gets[rng() % 3], url, "/g"); break;
            case 5: send("/save_session", "sss", session.c_str(), url, "/e"); break;
            case 6:
                if (rng() % 3 == 0) send("/load_session", "sss", session.c_str(), url, "/e");
                break;
            case 7: send("/qm/0/save_loop", "sssss", saved.c_str(), "float", "little", url, "/e"); break;
            case 8:
                if (rng() % 3 == 0) send("/qm/0/load_loop", "sss", tone.c_str(), url, "/e");
                break;
            case 9: send("/set", "sf", globals[rng() % 3], global_values[rng() % 6]); break;
            case 10: send("/qm/0/register_auto_update", "siss", "loop_pos", 100, url, "/au"); break;
            default: {
                const std::string binding = "0 n " + std::to_string(rng() % 128) + "  note record 0  0 1";
                send("/add_midi_binding", "ss", binding.c_str(), "");
            }
            }
            ++sent;
            while (lo_server_recv_noblock(_self, 0) > 0) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return sent;
    }

    // Whether a ping is answered within the time.
    bool ping(double seconds)
    {
        while (lo_server_recv_noblock(_self, 0) > 0) {
        }
        _ponged = false;
        send("/ping", "ss", _url.c_str(), "/pong");
        const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                         std::chrono::duration<double>(seconds));
        while (!_ponged && Clock::now() < end) lo_server_recv_noblock(_self, 100);
        return _ponged;
    }

private:
    template <class... A> void send(const std::string& path, const char* types, A... args)
    {
        lo_send_from(_to, _self, LO_TT_IMMEDIATE, path.c_str(), types, args...);
    }
    static int on_pong(const char*, const char*, lo_arg**, int, lo_message, void* self)
    {
        static_cast<Client*>(self)->_ponged = true;
        return 0;
    }

    lo_address _to;
    lo_server _self = nullptr;
    std::string _url;
    bool _ponged = false;
};

} // namespace

int run_storm(double seconds, unsigned seed)
{
    char dir[] = "/tmp/qmstorm.XXXXXX";
    if (!mkdtemp(dir)) {
        std::perror("qmstress: scratch directory");
        return 1;
    }
    const std::string scratch = dir;
    if (!write_tone(scratch + "/tone.wav")) {
        std::fprintf(stderr, "qmstress: cannot write %s/tone.wav\n", dir);
        return 1;
    }
    int status = 1;
    {
        PluginHost plugin;
        UnitSetup setup;
        setup.channels = 2;
        setup.rate = kRate;
        setup.max_frames = kMaxFrames;
        std::string error;
        float port = 0;
        if (!plugin.load(default_plugin_path(), "QuillomatAUEntry", error) || !plugin.configure(setup, error) ||
            !plugin.initialize(error)) {
            std::fprintf(stderr, "qmstress: %s\n", error.c_str());
        } else if (!plugin.parameter(0, port) || port == 0) {
            std::fprintf(stderr, "qmstress: the plug-in has no OSC port\n");
        } else {
            Client client((int)port);
            Host host(plugin, seed);
            if (client.ok() && client.ping(20)) {
                const Clock::time_point t = Clock::now();
                const unsigned long sent = client.storm(seconds, seed, scratch);
                const bool answered = client.ping(60);
                std::printf("qmstress: storm of %lu requests in %.1f s beside %lu render calls and %lu restored "
                            "states; %s\n",
                            sent, std::chrono::duration<double>(Clock::now() - t).count(), host.blocks(),
                            host.restores(), answered ? "the last ping was answered" : "no answer to the last ping");
                status = answered && !host.failed() ? 0 : 1;
            } else {
                std::fprintf(stderr, "qmstress: no answer to the first ping\n");
            }
        }
    }
    for (const char* name : {"storm.qms", "storm.wav", "tone.wav"}) unlink((scratch + "/" + name).c_str());
    rmdir(dir);
    return status;
}

} // namespace qmhost
