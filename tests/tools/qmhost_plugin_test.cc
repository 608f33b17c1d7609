// The host with the looper plug-in, run as a user runs it: in real time,
// driven over OSC from outside (record, stop, overdub), its output written
// to a file that must hold the loop and the overdub; and saves that the user
// may not make, which fail with their answers while the host goes on.
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "file_fixture.h"
#include "osc_client.h"
#include "plist.h"
#include "process_io.h"

namespace {

const int kRate = 48000;
const double kToneA = 441.0, kToneB = 1250.0;

// Input: tone A for 3 s, silence, tone B from 4 s to 6 s, silence.
const double kAEnd = 3.0, kBStart = 4.0, kBEnd = 6.0, kLength = 7.5;
float input(long f)
{
    const double t = (double)f / kRate;
    if (t < kAEnd) return 0.3f * (float)std::sin(2 * M_PI * kToneA * t);
    if (t >= kBStart && t < kBEnd) return 0.3f * (float)std::sin(2 * M_PI * kToneB * t);
    return 0.0f;
}

// Magnitude of the frequency in out[from, to) (Goertzel), per frame.
double level(const std::vector<float>& out, long from, long to, double freq)
{
    const double w = 2 * M_PI * freq / kRate, k = 2 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (long n = from; n < to; ++n) {
        const double s0 = out[(size_t)n] + k * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return std::sqrt(s1 * s1 + s2 * s2 - k * s1 * s2) / (double)(to - from);
}

// The loudest the frequency gets in tenths of a second of out[from, to): a
// loop's seams, wherever its length puts them, break the phase of a tone only
// in the tenths that hold one.
double peak_level(const std::vector<float>& out, long from, long to, double freq)
{
    double peak = 0.0;
    for (long at = from; at + kRate / 10 <= to; at += kRate / 10)
        peak = std::max(peak, level(out, at, at + kRate / 10, freq));
    return peak;
}

// The session text of a saved state, and the state itself (the caller releases it).
std::string session_of(const std::string& path, CFPropertyListRef* state = nullptr)
{
    std::string error;
    CFPropertyListRef st = qmhost::read_plist_file(path, error);
    EXPECT_NE(nullptr, st) << error;
    if (!st) return "";
    CFDataRef d = (CFDataRef)CFDictionaryGetValue((CFDictionaryRef)st, CFSTR("QMSessionXML"));
    std::string text = d ? std::string((const char*)CFDataGetBytePtr(d), (size_t)CFDataGetLength(d)) : "";
    if (state) *state = st;
    else CFRelease(st);
    return text;
}

TEST(QmhostWithPlugin, MidiClockSetsTheTempoFromItsFirstBeat)
{
    const std::string dir = testing::TempDir() + "qmhost_clock_" + std::to_string(getpid());
    ASSERT_EQ(0, system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str()));
    auto run = [&](const std::string& args) {
        return system(("'" QMHOST_PATH "' --fast -b 256 " + args + " >/dev/null 2>'" + dir + "/err'").c_str());
    };
    // A state that follows MIDI clock, made from one the plug-in saved.
    ASSERT_EQ(0, run("-n 256 --save-state '" + dir + "/plain.plist'"));
    CFPropertyListRef plain = nullptr;
    std::string session = session_of(dir + "/plain.plist", &plain);
    const std::string tempo = " tempo=\"", follows = " sync_source=\"";
    ASSERT_NE(std::string::npos, session.find(follows + "0\"")) << session;
    ASSERT_EQ(std::string::npos, session.find(tempo + "120\"")) << session;
    session.replace(session.find(follows + "0\""), follows.size() + 2, follows + "-2\"");
    CFMutableDictionaryRef clocked =
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    std::vector<const void*> keys(CFDictionaryGetCount((CFDictionaryRef)plain)), values(keys.size());
    CFDictionaryGetKeysAndValues((CFDictionaryRef)plain, keys.data(), values.data());
    for (size_t k = 0; k < keys.size(); ++k) CFDictionarySetValue(clocked, keys[k], values[k]);
    CFDataRef data = CFDataCreate(nullptr, (const UInt8*)session.data(), (CFIndex)session.size());
    CFDictionarySetValue(clocked, CFSTR("QMSessionXML"), data);
    std::string error;
    ASSERT_TRUE(qmhost::write_plist_file(clocked, dir + "/clock.plist", error)) << error;
    for (CFTypeRef r : {(CFTypeRef)data, (CFTypeRef)clocked, plain}) CFRelease(r);

    // A start, then two beats of clock at 120 bpm: a tick every 1000 frames.
    std::ofstream midi(dir + "/clock.txt");
    midi << "1000 FA\n";
    for (int t = 1; t <= 48; ++t) midi << 1000 + 1000 * t << " F8\n";
    midi.close();
    ASSERT_EQ(0, run("-n 49500 --restore-state '" + dir + "/clock.plist' --midi '" + dir +
                     "/clock.txt' --save-state '" + dir + "/after.plist'"));
    session = session_of(dir + "/after.plist");
    EXPECT_NE(std::string::npos, session.find(follows + "-2\"")) << session;
    EXPECT_NE(std::string::npos, session.find(tempo + "120\"")) << session;
    system(("rm -rf '" + dir + "'").c_str());
}

// Each command goes out once the host has written past a point, and is seen
// to act through the state. The host renders no faster than real time, so by
// then it has rendered at most as many frames as the time since it started
// holds. Where that leaves the command past the stretch of input it belongs
// to, the run cannot tell where it acted, and says so.
TEST(QmhostWithPlugin, RecordStopOverdubOverOscEndUpInTheOutput)
{
    const std::string dir = testing::TempDir() + "qmhost_plugin_" + std::to_string(getpid());
    ASSERT_EQ(0, system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str()));
    const long frames = (long)(kLength * kRate);
    SF_INFO info = {};
    info.channels = 2;
    info.samplerate = kRate;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open((dir + "/in.wav").c_str(), SFM_WRITE, &info);
    ASSERT_NE(nullptr, f);
    std::vector<float> in(2 * (size_t)frames);
    for (size_t n = 0; n < in.size(); ++n) in[n] = input((long)n / 2);
    sf_writef_float(f, in.data(), frames);
    sf_close(f);

    int pipe_out[2];
    ASSERT_EQ(0, pipe(pipe_out));
    const int err_fd = open((dir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const auto forked = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipe_out[1], 1);
        dup2(err_fd, 2);
        // The plug-in from its default place beside the host.
        execl(QMHOST_PATH, QMHOST_PATH, "-i", (dir + "/in.wav").c_str(), "-o", (dir + "/out.wav").c_str(), "-b",
              "256", (char*)nullptr);
        _exit(127);
    }
    close(pipe_out[1]);
    close(err_fd);
    char line[64] = {0};
    ssize_t got = read(pipe_out[0], line, sizeof line - 1);
    close(pipe_out[0]);
    int port = 0;
    const bool said = got > 0 && std::sscanf(line, "OSC port: %d", &port) == 1;
    if (!said || port == 0) {
        int st;
        waitpid(pid, &st, 0);
        ASSERT_TRUE(said) << line;
        GTEST_SKIP() << "no free OSC port from 10051 on this machine";
    }

    // Frames written since the port line: never more than the host rendered.
    const long long start = qmtest::bytes_written_by(pid);
    auto written = [&] { return qmtest::frames_written_by(pid, start, 256, 2 * sizeof(float)); };
    qmtest::OscClient osc(port);
    ASSERT_TRUE(osc.ok());
    auto state = [&] {
        osc.send("/qm/0/get", "state", osc.url(), "/state");
        qmtest::OscMsg m;
        return osc.wait("/state", m) ? m.f(2) : -1.0f;
    };
    // The command once `from` seconds are written; false when it has not
    // acted, with the state `until`, by the end of the stretch it belongs to.
    int st = 0;
    bool ended = false;
    auto running = [&] { return !(ended = ended || waitpid(pid, &st, WNOHANG) == pid); };
    std::string late;
    auto command = [&](const char* name, double from, float until, double by) {
        while (running() && written() < (long long)(from * kRate)) usleep(1000);
        osc.send("/qm/0/hit", name);
        while (running() && state() != until) usleep(1000);
        const std::chrono::duration<double> since = std::chrono::steady_clock::now() - forked;
        if (running() && (since.count() * kRate + 256 < by * kRate)) return true;
        late = name;
        return false;
    };
    const bool in_time = command("record", 0.2, 2.0f, kAEnd) && command("record", 1.0, 4.0f, kAEnd) &&
                         command("overdub", kBStart + 0.2, 5.0f, kBEnd) && command("overdub", kBStart + 1.0, 4.0f, kBEnd);
    if (!ended) waitpid(pid, &st, 0);
    ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    if (!in_time) GTEST_SKIP() << "the host was held up: \"" << late << "\" acted past its stretch of input";

    info = SF_INFO();
    f = sf_open((dir + "/out.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(frames, info.frames);
    ASSERT_EQ(2, info.channels);
    std::vector<float> both((size_t)info.frames * 2), out((size_t)info.frames);
    sf_readf_float(f, both.data(), info.frames);
    sf_close(f);
    for (size_t n = 0; n < out.size(); ++n) out[n] = both[2 * n];

    // Input silent between the tones: the loop of tone A plays, without B.
    const long quiet = (long)((kAEnd + 0.05) * kRate), loud = (long)((kBStart - 0.05) * kRate);
    EXPECT_GT(peak_level(out, quiet, loud, kToneA), 0.05);
    EXPECT_LT(peak_level(out, quiet, loud, kToneB), 0.01);
    // Silent again after B: the loop now holds the overdubbed tone B too.
    const long after = (long)((kBEnd + 0.05) * kRate);
    EXPECT_GT(peak_level(out, after, frames, kToneA), 0.05);
    EXPECT_GT(peak_level(out, after, frames, kToneB), 0.05);
    system(("rm -rf '" + dir + "'").c_str());
}

// Every port the looper tries is taken, in a network of the host's own (which
// takes no port from anything else on this machine): it runs without OSC,
// and says why on a line of its own.
TEST(QmhostWithPlugin, NoFreePortIsSaidOnStandardError)
{
    qmtest::ScratchDir d;
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(d.path("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(d.path("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (dup2(out, 1) < 0 || dup2(err, 2) < 0 || unshare(CLONE_NEWNET) != 0) _exit(126);
        // Held by the host itself across the exec.
        sockaddr_in at = {};
        at.sin_family = AF_INET;
        for (int port = 10051; port <= 10070; ++port) {
            at.sin_port = htons((uint16_t)port);
            if (bind(socket(AF_INET, SOCK_DGRAM, 0), (const sockaddr*)&at, sizeof at) != 0) _exit(125);
        }
        execl(QMHOST_PATH, QMHOST_PATH, "--fast", "-n", "2560", (char*)nullptr);
        _exit(127);
    }
    int st = 0;
    ASSERT_EQ(pid, waitpid(pid, &st, 0));
    if (WIFEXITED(st) && WEXITSTATUS(st) == 126) GTEST_SKIP() << "no network of its own here (needs root)";
    ASSERT_TRUE(WIFEXITED(st)) << st;
    ASSERT_EQ(0, WEXITSTATUS(st)) << qmtest::bytes_of(d.path("stderr"));
    EXPECT_EQ("OSC port: 0\n", qmtest::bytes_of(d.path("stdout")));
    const std::string errors = "\n" + qmtest::bytes_of(d.path("stderr"));
    EXPECT_NE(std::string::npos,
              errors.find("\nqmhost: no OSC port from 10051 to 10070 was free: the looper runs without OSC\n"))
        << errors;
}

// Any client can make the host write a line; a reader of its standard error
// that has gone away must not end it.
TEST(QmhostWithPlugin, OutlivesTheReaderOfItsStandardError)
{
    const struct {
        const char* name;
        void (*make_it_log)(qmtest::OscClient&);
    } cases[] = {
        {"refused loop", [](qmtest::OscClient& osc) { osc.send("/loop_add", -1, 1.0f); }},
        {"failed save",
         [](qmtest::OscClient& osc) { osc.send("/save_session", "/no-such-qm-dir/s.qms", osc.url(), "/err"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int out[2], err[2];
        ASSERT_EQ(0, pipe(out));
        ASSERT_EQ(0, pipe(err));
        const pid_t pid = fork();
        if (pid == 0) {
            signal(SIGPIPE, SIG_DFL);  // whatever the test runner chose
            dup2(out[1], 1);
            dup2(err[1], 2);
            for (int fd : {out[0], out[1], err[0], err[1]}) close(fd);
            execl(QMHOST_PATH, QMHOST_PATH, "-d", "30", (char*)nullptr);
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        char line[64] = {0};
        const ssize_t got = read(out[0], line, sizeof line - 1);
        int port = 0;
        const bool said = got > 0 && std::sscanf(line, "OSC port: %d", &port) == 1;
        close(err[0]);  // from here on every line the host writes goes nowhere
        if (!said || port == 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
            close(out[0]);
            ASSERT_TRUE(said) << line;
            GTEST_SKIP() << "no free OSC port from 10051 on this machine";
        }

        qmtest::OscClient osc(port);
        ASSERT_TRUE(osc.ok());
        c.make_it_log(osc);
        EXPECT_TRUE(osc.sync());
        int st = 0;
        if (waitpid(pid, &st, WNOHANG) == 0) {
            kill(pid, SIGTERM);
            waitpid(pid, &st, 0);
        } else {
            ADD_FAILURE() << "the host ended";
        }
        close(out[0]);
        EXPECT_TRUE(WIFEXITED(st)) << "ended by signal " << (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
    }
}

// Under a file-size limit, as a user other than root (nobody, where the tests
// run as root): a loop save past the limit and saves over a session and a
// bindings file of mode 0444 fail, the files stay, and the host goes on.
TEST(QmhostWithPlugin, SavesTheUserMayNotMakeFailWithTheirAnswersAndTheHostGoesOn)
{
    const uid_t nobody = 65534;
    const bool root = getuid() == 0;
    qmtest::ScratchDir d;
    auto give = [&](const std::string& p, mode_t mode) {
        return chmod(p.c_str(), mode) == 0 && (!root || chown(p.c_str(), nobody, nobody) == 0);
    };
    ASSERT_TRUE(give(d.dir, 0755));
    // A loop of 3.8 MB, over a limit of 1 MB.
    SF_INFO info = {0, kRate, 2, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0, 0};
    SNDFILE* f = sf_open(d.path("src.wav").c_str(), SFM_WRITE, &info);
    std::vector<float> wave(2 * 10 * kRate, 0.25f);
    ASSERT_TRUE(f && sf_writef_float(f, wave.data(), 10 * kRate) == 10 * kRate && sf_close(f) == 0);
    for (const char* name : {"session.qms", "bindings"}) {
        qmtest::put(d.path(name), "old");
        ASSERT_TRUE(give(d.path(name), 0444));
    }

    // The host, the plug-in and the libraries they load from the build
    // folder, copied where that user can reach them: the checkout may lie in
    // a folder only its owner may enter.
    qmtest::ScratchDir bin;
    ASSERT_TRUE(give(bin.dir, 0755));
    for (const char* file : {QMHOST_PATH, QM_PLUGIN_PATH, QM_CARBON_LIB, QM_FOUNDATION_LIB}) {
        const std::string to = bin.path(std::filesystem::path(file).filename());
        ASSERT_TRUE(std::filesystem::copy_file(file, to) && chmod(to.c_str(), 0755) == 0) << file;
    }
    const std::string host = bin.path("qmhost"), plugin = bin.path(std::filesystem::path(QM_PLUGIN_PATH).filename());
    const std::string libs = "LD_LIBRARY_PATH=" + bin.dir;
    std::vector<char*> env{const_cast<char*>(libs.c_str())};
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "LD_LIBRARY_PATH=", 16) != 0) env.push_back(*e);
    env.push_back(nullptr);

    int out[2];
    ASSERT_EQ(0, pipe2(out, O_CLOEXEC));
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        signal(SIGXFSZ, SIG_DFL);  // whatever the test runner chose
        const rlimit limit = {1 << 20, 1 << 20};
        char* const argv[] = {const_cast<char*>(host.c_str()), const_cast<char*>("--plugin"),
                              const_cast<char*>(plugin.c_str()), const_cast<char*>("-b"), const_cast<char*>("256"),
                              nullptr};
        if (setrlimit(RLIMIT_FSIZE, &limit) == 0 &&
            (!root || (setgroups(0, nullptr) == 0 && setgid(nobody) == 0 && setuid(nobody) == 0)))
            execve(argv[0], argv, env.data());
        _exit(127);
    }
    close(out[1]);
    char line[64] = {0};
    int port = 0;
    const bool said = read(out[0], line, sizeof line - 1) > 0 && std::sscanf(line, "OSC port: %d", &port) == 1;
    close(out[0]);
    if (!said || port == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        ASSERT_TRUE(said) << line;
        GTEST_SKIP() << "no free OSC port from 10051 on this machine";
    }

    qmtest::OscClient c(port);
    const std::string url = c.url();
    ASSERT_TRUE(c.send("/qm/0/load_loop", d.path("src.wav"), url, "/err") && c.sync(20000));
    c.send("/qm/0/save_loop", d.path("take.wav"), "float", "little", url, "/err");
    c.send("/save_session", d.path("session.qms"), url, "/err");
    c.send("/save_midi_bindings", d.path("bindings"), "");
    EXPECT_TRUE(c.sync(20000)) << "the host stopped answering";
    std::vector<std::string> answers;
    for (const qmtest::OscMsg& m : c.collect(0)) answers.push_back(m.path + " " + m.s(1));
    EXPECT_EQ((std::vector<std::string>{"/err Loop Save Failed", "/err Session Save Failed"}), answers);
    for (const char* name : {"session.qms", "bindings"}) EXPECT_EQ("old", qmtest::bytes_of(d.path(name))) << name;
    EXPECT_EQ((std::set<std::string>{"bindings", "session.qms", "src.wav"}), d.entries());

    int st = 0;
    EXPECT_EQ(0, waitpid(pid, &st, WNOHANG)) << "the host ended";
    kill(pid, SIGTERM);
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "status " << st;
}

} // namespace
