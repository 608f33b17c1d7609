// qmhost: runs an Audio Unit effect from the command line (see --help).
#include <signal.h>
#include <sndfile.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <kvo/file_guard.h>

#include "editor.h"
#include "host.h"
#include "midi_file.h"
#include "midi_pipe.h"
#include "options.h"

using namespace qmhost;

namespace {

// Set by the handlers on whichever thread the signal lands (the plug-in's
// threads take signals too) and read by the render loop.
std::atomic<bool> g_stop{false};
std::atomic<bool> g_reload{false};
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler may only touch lock-free atomics");

// The interrupted code may be about to read errno.
struct KeepErrno {
    const int saved = errno;
    ~KeepErrno() { errno = saved; }
};

void on_signal(int)
{
    KeepErrno keep;
    g_stop.store(true);
}

void on_hangup(int)
{
    KeepErrno keep;
    g_reload.store(true);
}

void install_signals(bool reload_on_hangup)
{
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no restart: a sleep ends at once
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A closed terminal ends the run as a stop does, keeping what it made.
    if (reload_on_hangup) sa.sa_handler = on_hangup;
    sigaction(SIGHUP, &sa, nullptr);
}

// The ports the looper tries, in order.
const int kFirstOscPort = 10051, kLastOscPort = 10070;

int fail(const std::string& message, int status = 1)
{
    std::fprintf(stderr, "qmhost: %s\n", message.c_str());
    return status;
}

struct SndFile {
    SNDFILE* f = nullptr;
    SF_INFO info = {};
    ~SndFile() { close(); }
    bool close()
    {
        bool ok = !f || sf_close(f) == 0;
        f = nullptr;
        return ok;
    }
};

// Sleeps until `when` on the monotonic clock; returns early on a signal.
void sleep_until(const timespec& when)
{
    while (!g_stop && clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
    }
}

timespec add_seconds(timespec t, double s)
{
    double whole = std::floor(s);
    t.tv_sec += (time_t)whole;
    t.tv_nsec += (long)((s - whole) * 1e9);
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

double seconds_until(const timespec& when)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)(when.tv_sec - now.tv_sec) + (double)(when.tv_nsec - now.tv_nsec) * 1e-9;
}

int run(int argc, char** argv)
{
    HostOptions opt;
    std::string error;
    if (!parse_options(argc, argv, opt, error)) return fail(error, 2);
    if (opt.help) {
        std::fputs(usage_text().c_str(), stdout);
        return 0;
    }
    install_signals(opt.reload_on_hangup);

    // The host's own files are taken as the files named in requests are: no
    // pipe or device is waited on, and the output is saved whole or not at
    // all. The save outlives the sound file written into it.
    std::string why;
    std::unique_ptr<Kvo::FileSave> output;
    SndFile in, out;
    if (!opt.input.empty()) {
        Kvo::RegularFile file(opt.input, &why);
        if (!file.ok()) return fail("cannot read input file " + opt.input + ": " + why);
        in.f = sf_open_fd(file.release(), SFM_READ, &in.info, SF_TRUE);
        if (!in.f) return fail("cannot read input file " + opt.input + ": " + sf_strerror(nullptr));
        if (opt.channels && (uint32_t)in.info.channels != opt.channels)
            return fail("input file " + opt.input + " has " + std::to_string(in.info.channels) +
                        " channels, not the " + std::to_string(opt.channels) + " asked for");
        if (opt.rate && (double)in.info.samplerate != opt.rate)
            return fail("input file " + opt.input + " is at " + std::to_string(in.info.samplerate) +
                        " Hz, not the " + std::to_string((long)opt.rate) + " Hz asked for");
        if (in.info.channels < 1 || in.info.channels > 256)
            return fail("input file " + opt.input + " has an unusable channel count");
    }
    UnitSetup setup;
    setup.channels = opt.channels ? opt.channels : (in.f ? (uint32_t)in.info.channels : 2);
    setup.rate = opt.rate ? opt.rate : (in.f ? (double)in.info.samplerate : 48000.0);
    setup.max_frames = opt.max_frames ? opt.max_frames : opt.block;
    setup.tempo = opt.tempo;

    if (!opt.output.empty()) {
        out.info.channels = (int)setup.channels;
        out.info.samplerate = (int)std::lround(setup.rate);
        out.info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        output = std::make_unique<Kvo::FileSave>(opt.output, Kvo::FileSave::Unnamed, &why);
        if (!output->ok()) return fail("cannot write output file " + opt.output + ": " + why);
        out.f = sf_open_fd(output->fd(), SFM_WRITE, &out.info, SF_FALSE);
        if (!out.f) return fail("cannot write output file " + opt.output + ": " + sf_strerror(nullptr));
    }

    std::vector<TimedMidi> midi;
    if (!opt.midi.empty() && !read_midi_file(opt.midi, setup.rate, midi, error)) return fail(error);

    PluginHost host;
    const std::string plugin = opt.plugin.empty() ? default_plugin_path() : opt.plugin;
    if (!host.load(plugin, opt.entry, error, opt.reload_on_hangup)) return fail(error);
    if (!host.configure(setup, error)) return fail(error);
    if (!midi.empty()) host.add_midi_source(std::make_unique<FileMidiSource>(std::move(midi)));
    if (!opt.midi_pipe.empty()) {
        auto pipe = std::make_unique<PipeMidiSource>();
        if (!pipe->open(opt.midi_pipe, error)) return fail(error);
        host.add_midi_source(std::move(pipe));
    }
    if (!opt.restore_state.empty() && !host.restore_state(opt.restore_state, error)) return fail(error);
    if (!host.initialize(error)) return fail(error);

    auto say_port = [&host] {
        float port = 0;
        if (!host.parameter(0, port)) {
            std::fprintf(stderr, "qmhost: the plug-in has no parameter 0\n");
            return;
        }
        std::printf("OSC port: %ld\n", std::lround(port));
        std::fflush(stdout);
        // The looper tells only the port, 0 when none was free.
        if (std::lround(port) == 0)
            std::fprintf(stderr, "qmhost: no OSC port from %d to %d was free: the looper runs without OSC\n",
                         kFirstOscPort, kLastOscPort);
    };
    say_port();

    EditorWindow editor;
    if (opt.editor) {
        if (!editor.open(host.library(), opt.editor_entry, host.unit(), error)) return fail(error);
        std::string lines = editor.describe();
        for (size_t at = 0, end; (end = lines.find('\n', at)) != std::string::npos; at = end + 1)
            std::printf("editor: %s\n", lines.substr(at, end - at).c_str());
        std::fflush(stdout);
    }

    // How much to render: the length asked for, else the input file's, else
    // until stopped.
    int64_t total = -1;
    if (opt.frames >= 0) total = opt.frames;
    else if (opt.duration >= 0) total = (int64_t)std::llround(opt.duration * setup.rate);
    else if (in.f) total = (int64_t)in.info.frames;

    const uint32_t ch = setup.channels, block = opt.block;
    std::vector<float> interleaved((size_t)ch * block);
    std::vector<std::vector<float>> inbuf(ch, std::vector<float>(block)), outbuf(ch, std::vector<float>(block));
    std::vector<const float*> inptr(ch);
    std::vector<float*> outptr(ch);
    for (uint32_t c = 0; c < ch; ++c) {
        inptr[c] = inbuf[c].data();
        outptr[c] = outbuf[c].data();
    }

    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    int status = 0;
    bool input_left = in.f != nullptr;
    while (!g_stop && (total < 0 || (int64_t)host.position() < total)) {
        if (g_reload.exchange(false)) {
            if (host.unit()) {
                host.close();
                std::printf("plug-in unloaded\n");
                std::fflush(stdout);
            } else if (!host.load(plugin, opt.entry, error, true) || !host.configure(setup, error) ||
                       !host.initialize(error)) {
                status = fail(error);
                break;
            } else {
                say_port();
            }
        }
        if (!host.unit()) {
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            sleep_until(add_seconds(now, 0.01));
            continue;
        }
        uint32_t n = block;
        if (total >= 0 && (int64_t)(total - host.position()) < (int64_t)n) n = (uint32_t)(total - host.position());
        sf_count_t got = 0;
        if (input_left) {
            got = sf_readf_float(in.f, interleaved.data(), n);
            if (got < (sf_count_t)n) input_left = false;
        }
        for (uint32_t c = 0; c < ch; ++c)
            for (uint32_t f = 0; f < n; ++f) inbuf[c][f] = (sf_count_t)f < got ? interleaved[(size_t)f * ch + c] : 0.0f;

        if (!host.render(inptr.data(), outptr.data(), n, error)) {
            status = fail(error);
            break;
        }
        if (out.f) {
            for (uint32_t c = 0; c < ch; ++c)
                for (uint32_t f = 0; f < n; ++f) interleaved[(size_t)f * ch + c] = outbuf[c][f];
            if (sf_writef_float(out.f, interleaved.data(), n) != (sf_count_t)n) {
                status = fail("cannot write output file " + opt.output + ": " + sf_strerror(out.f));
                break;
            }
        }
        const timespec next = add_seconds(start, (double)host.position() / setup.rate);
        if (editor.is_open()) {
            // The view's run loop turns on this thread, between render calls.
            editor.pump(0);
            while (!opt.fast && !g_stop && seconds_until(next) > 0) editor.pump(seconds_until(next));
        } else if (!opt.fast) {
            sleep_until(next);
        }
    }
    editor.close();

    if (!opt.save_state.empty() && !host.unit()) status = fail("no state to save: the plug-in is unloaded");
    else if (!opt.save_state.empty() && !host.save_state(opt.save_state, error)) status = fail(error);
    host.close();
    const bool closed = out.close();
    if (!closed && status == 0) status = fail("cannot finish output file " + opt.output);
    // What was rendered stays, also after a failed run, as it always has.
    if (closed && output && !output->commit() && status == 0)
        status = fail("cannot finish output file " + opt.output + ": " + why);
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    ignore_broken_pipes();
    ignore_file_size_limit();
    return run(argc, argv);
}
