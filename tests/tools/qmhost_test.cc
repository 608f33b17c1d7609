// The host program run as a user runs it, against the test effect: audio
// through, MIDI at its frame, state saved and restored through a file, bad
// command lines, and a clean stop on a signal.
#include <fcntl.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "plist.h"
#include "process_io.h"

namespace {

using qmtest::bytes_written_by;

struct Result {
    int status;  // exit status, or 128 + signal
    std::string out, err;
};

std::string slurp(const std::string& path)
{
    std::ifstream f(path);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

class QmhostTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = testing::TempDir() + "qmhost_test_" + std::to_string(getpid()) + "_" +
              testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_EQ(0, system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str()));
    }
    void TearDown() override { system(("rm -rf '" + dir + "'").c_str()); }

    std::string file(const std::string& name) { return dir + "/" + name; }

    std::vector<std::string> command(std::vector<std::string> args)
    {
        args.insert(args.begin(), {QMHOST_PATH, "--plugin", QM_GAIN_EFFECT_PATH, "--entry", "TestGainEffectEntry"});
        return args;
    }

    pid_t spawn(const std::vector<std::string>& argv, int out_fd, int err_fd)
    {
        pid_t pid = fork();
        if (pid == 0) {
            dup2(out_fd, 1);
            dup2(err_fd, 2);
            std::vector<char*> a;
            for (const std::string& s : argv) a.push_back(const_cast<char*>(s.c_str()));
            a.push_back(nullptr);
            execv(a[0], a.data());
            _exit(127);
        }
        return pid;
    }

    static int wait_status(pid_t pid)
    {
        int st = 0;
        waitpid(pid, &st, 0);
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }

    // with_plugin false: args is the whole command line.
    Result run(std::vector<std::string> args, bool with_plugin = true)
    {
        std::string o = file("stdout"), e = file("stderr");
        int ofd = open(o.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int efd = open(e.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = spawn(with_plugin ? command(args) : args, ofd, efd);
        close(ofd);
        close(efd);
        Result r{wait_status(pid), slurp(o), slurp(e)};
        return r;
    }

    // Channel c, frame f of the test input.
    static float input(int c, long f) { return 0.5f * std::sin(0.01f * (float)f) + 0.1f * (float)c; }

    void write_wav(const std::string& path, int channels, int rate, long frames)
    {
        SF_INFO info = {};
        info.channels = channels;
        info.samplerate = rate;
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
        ASSERT_NE(nullptr, f);
        std::vector<float> data((size_t)channels * frames);
        for (long i = 0; i < frames; ++i)
            for (int c = 0; c < channels; ++c) data[(size_t)i * channels + c] = input(c, i);
        sf_writef_float(f, data.data(), frames);
        sf_close(f);
    }

    std::vector<float> read_wav(const std::string& path, SF_INFO& info)
    {
        info = SF_INFO();
        SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
        EXPECT_NE(nullptr, f) << path;
        if (!f) return {};
        std::vector<float> data((size_t)info.channels * info.frames);
        sf_readf_float(f, data.data(), info.frames);
        sf_close(f);
        return data;
    }

    void write_text(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

    // Global parameter `id` from the "data" block of a saved state.
    static float saved_param(CFPropertyListRef state, UInt32 id)
    {
        CFDataRef d = (CFDataRef)CFDictionaryGetValue((CFDictionaryRef)state, CFSTR("data"));
        const UInt8* p = CFDataGetBytePtr(d);
        for (CFIndex at = 4; at + 8 <= CFDataGetLength(d); at += 8) {
            auto be = [&](CFIndex i) { return (UInt32)p[i] << 24 | (UInt32)p[i + 1] << 16 | (UInt32)p[i + 2] << 8 | p[i + 3]; };
            if (be(at) != id) continue;
            UInt32 bits = be(at + 4);
            float v;
            std::memcpy(&v, &bits, sizeof v);
            return v;
        }
        return NAN;
    }

    std::string dir;
};

TEST_F(QmhostTest, RendersAFileThroughThePluginWithMidiAtItsFrame)
{
    write_wav(file("in.wav"), 2, 48000, 4800);
    write_text(file("midi.txt"), "1000 B0 07 00   # gain 0 from frame 1000\n");
    Result r = run({"-i", file("in.wav"), "-o", file("out.wav"), "--midi", file("midi.txt"), "--fast", "-b", "256",
                    "-m", "512"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("OSC port: 4242\n", r.out);
    EXPECT_EQ("", r.err);
    SF_INFO info;
    std::vector<float> out = read_wav(file("out.wav"), info);
    ASSERT_EQ(4800, info.frames);
    ASSERT_EQ(2, info.channels);
    EXPECT_EQ(48000, info.samplerate);
    for (long f = 0; f < 4800; ++f)
        for (int c = 0; c < 2; ++c)
            ASSERT_EQ(f < 1000 ? input(c, f) : 0.0f, out[(size_t)f * 2 + c]) << "frame " << f;
}

TEST_F(QmhostTest, StateGoesToAFileAndComesBack)
{
    write_text(file("midi.txt"), "0 B0 07 40\n10 90 3C 7F\n");
    Result first = run({"--frames", "1024", "-b", "512", "--fast", "--tempo", "90", "--midi", file("midi.txt"), "--save-state",
                        file("state.plist")});
    ASSERT_EQ(0, first.status) << first.err;
    std::string error;
    CFPropertyListRef state = qmhost::read_plist_file(file("state.plist"), error);
    ASSERT_NE(nullptr, state) << error;
    SInt32 count = 0;
    CFNumberGetValue((CFNumberRef)CFDictionaryGetValue((CFDictionaryRef)state, CFSTR("TestMidiCount")),
                     kCFNumberSInt32Type, &count);
    EXPECT_EQ(2, count);
    EXPECT_EQ(64.0f / 127.0f, saved_param(state, 1));
    EXPECT_EQ(90.0f, saved_param(state, 2));
    EXPECT_FLOAT_EQ(512.0f * 90 / 60 / 48000, saved_param(state, 3));  // the beat at the last block
    CFRelease(state);

    // Restored before initialising: the gain comes back.
    write_wav(file("in.wav"), 1, 48000, 300);
    Result second = run({"-i", file("in.wav"), "-o", file("out.wav"), "--fast", "--restore-state", file("state.plist")});
    ASSERT_EQ(0, second.status) << second.err;
    SF_INFO info;
    std::vector<float> out = read_wav(file("out.wav"), info);
    ASSERT_EQ(300, info.frames);
    EXPECT_FLOAT_EQ(input(0, 123) * 64.0f / 127.0f, out[123]);
}

// Checked against the frames the host had written when the message went in
// and when it had been taken: whenever it arrives, it acts from a frame
// between the two.
TEST_F(QmhostTest, LiveMidiFromANamedPipeActsWhenItArrives)
{
    // Longer than any run: the test ends it once the message has acted.
    const long kInputFrames = 20 * 48000;
    write_wav(file("in.wav"), 1, 48000, kInputFrames);
    ASSERT_EQ(0, mkfifo(file("midi").c_str(), 0600));
    int out[2];
    ASSERT_EQ(0, pipe(out));
    int efd = open(file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = spawn(command({"-i", file("in.wav"), "-o", file("out.wav"), "-b", "256", "--midi-pipe", file("midi")}),
                      out[1], efd);
    close(out[1]);
    close(efd);
    char buf[64] = {0};
    ASSERT_GT(read(out[0], buf, sizeof buf - 1), 0);
    close(out[0]);
    EXPECT_STREQ("OSC port: 4242\n", buf);
    // Frames written since the port line, in whole blocks: never more than
    // the host rendered.
    const long long start = bytes_written_by(pid);
    auto frames_written = [&] { return qmtest::frames_written_by(pid, start, 256, sizeof(float)); };
    // Waits until `done`, while the host runs; false when it ended first.
    auto await = [&](const std::function<bool()>& done) {
        while (!done())
            if (waitpid(pid, nullptr, WNOHANG) != 0) return false;
            else usleep(1000);
        return true;
    };

    // Two writers one after the other; the second sets the gain to 0. Each
    // message is in the host once the pipe holds nothing.
    long long before = 0, taken = 0;
    for (const char* bytes : {"\xB0\x07\x7F", "\xB0\x07\x00"}) {
        before = frames_written();
        const int fd = open(file("midi").c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(fd, 0) << strerror(errno);
        ASSERT_EQ(3, write(fd, bytes, 3));
        int unread = 0;
        ASSERT_TRUE(await([&] { return ioctl(fd, FIONREAD, &unread) == 0 && unread == 0; })) << "the host ended";
        close(fd);
        taken = frames_written();
    }
    // Two more blocks written: a render call has begun since, and delivered it.
    ASSERT_TRUE(await([&] { return frames_written() >= taken + 2 * 256; })) << "the host ended";
    kill(pid, SIGTERM);
    EXPECT_EQ(0, wait_status(pid)) << slurp(file("stderr"));

    SF_INFO info;
    std::vector<float> data = read_wav(file("out.wav"), info);
    ASSERT_GT(info.frames, taken);
    long silent = 0;
    while (silent < info.frames && data[(size_t)silent] == input(0, silent)) ++silent;
    EXPECT_GE(silent, before);
    EXPECT_LT(silent, info.frames);
    for (long f = silent; f < info.frames; ++f) ASSERT_EQ(0.0f, data[(size_t)f]) << f;

    Result r = run({"--midi-pipe", file("no-such-pipe"), "-n", "10"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("cannot read MIDI from")) << r.err;
}

TEST_F(QmhostTest, LengthOptionsAndShortInputs)
{
    // 441 frames in blocks of 100: the last call is 41 frames.
    Result r = run({"-d", "0.01", "-r", "44100", "-c", "1", "-b", "100", "--fast", "-o", file("a.wav")});
    ASSERT_EQ(0, r.status) << r.err;
    SF_INFO info;
    read_wav(file("a.wav"), info);
    EXPECT_EQ(441, info.frames);
    EXPECT_EQ(44100, info.samplerate);

    // An input shorter than the length asked for is followed by silence.
    write_wav(file("in.wav"), 2, 48000, 150);
    r = run({"-i", file("in.wav"), "-n", "400", "--fast", "-o", file("b.wav")});
    ASSERT_EQ(0, r.status) << r.err;
    std::vector<float> out = read_wav(file("b.wav"), info);
    ASSERT_EQ(400, info.frames);
    EXPECT_EQ(input(1, 149), out[149 * 2 + 1]);
    EXPECT_EQ(0.0f, out[150 * 2 + 1]);
}

TEST_F(QmhostTest, BadCommandLinesAndFilesFailWithOneLine)
{
    write_wav(file("mono.wav"), 1, 48000, 10);
    write_text(file("bad_midi.txt"), "0 90 3C\n");
    write_text(file("bad_state.plist"), "<plist><dict><key>version</key></dict></plist>");
    write_text(file("foreign_state.plist"), "<plist><dict><key>version</key><integer>0</integer></dict></plist>");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string says;
    } cases[] = {
        {{"--bogus"}, 2, "unknown option --bogus"},
        {{"-b", "0"}, 2, "--block"},
        {{"-b", "64x"}, 2, "--block"},
        {{"-b", "512", "-m", "256"}, 2, "--max-frames"},
        {{"-d", "1", "-n", "5"}, 2, "not both"},
        {{"-t", "-3"}, 2, "--tempo"},
        {{"stray"}, 2, "unexpected argument"},
        {{"--midi"}, 2, "needs a value"},
        {{"-c", "100", "-n", "10", "--fast"}, 1, "format not supported"},
        {{"-i", file("missing.wav")}, 1, "cannot read input file"},
        {{"-i", file("mono.wav"), "-c", "2"}, 1, "channels"},
        {{"-n", "10", "--midi", file("bad_midi.txt")}, 1, "bad_midi.txt:1: too few bytes"},
        {{"-n", "10", "--restore-state", file("bad_state.plist")}, 1, "without a value"},
        {{"-n", "10", "--restore-state", file("foreign_state.plist")}, 1, "refused the state"},
        {{"-n", "10", "-o", "/nonexistent-dir/out.wav"}, 1, "cannot write output file"},
        {{"-n", "10", "--midi-pipe", dir}, 1, "cannot read MIDI from " + dir + ": a directory"},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& a : c.args) joined += a + " ";
        SCOPED_TRACE(joined);
        Result r = run(c.args);
        EXPECT_EQ(c.status, r.status) << r.err;
        EXPECT_EQ(0u, r.err.find("qmhost: ")) << r.err;
        EXPECT_NE(std::string::npos, r.err.find(c.says)) << r.err;
        EXPECT_EQ(r.err.size() - 1, r.err.find('\n')) << r.err;  // exactly one line
    }
    Result r = run({QMHOST_PATH, "--plugin", file("none.so"), "-n", "1"}, false);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("cannot load plug-in"));
    r = run({"--entry", "NoSuchEntry", "-n", "1"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("no entry point NoSuchEntry"));
}

// Named pipes and folders given as the host's own files are refused at once:
// nothing waits for a writer or a reader that never comes.
TEST_F(QmhostTest, OwnFilesThatAreNotRegularFilesAreRefusedAtOnce)
{
    ASSERT_EQ(0, mkfifo(file("fifo").c_str(), 0600));
    ASSERT_EQ(0, mkdir(file("folder").c_str(), 0700));
    for (const char* option : {"--restore-state", "--midi", "-i", "-o", "--save-state"}) {
        for (const std::string& name : {file("fifo"), file("folder")}) {
            SCOPED_TRACE(std::string(option) + " " + name);
            // Ended by force if it waits all the same.
            std::vector<std::string> line = command({option, name, "-n", "10", "--fast"});
            line.insert(line.begin(), {"/usr/bin/timeout", "-s", "KILL", "10"});
            Result r = run(line, false);
            EXPECT_EQ(1, r.status) << r.err;
            EXPECT_EQ(0u, r.err.find("qmhost: ")) << r.err;
            EXPECT_NE(std::string::npos, r.err.find(name + ": not a regular file")) << r.err;
            EXPECT_EQ(r.err.size() - 1, r.err.find('\n')) << r.err;
        }
    }
}

TEST_F(QmhostTest, HelpNamesEveryOption)
{
    Result r = run({QMHOST_PATH, "--help"}, false);
    EXPECT_EQ(0, r.status);
    for (const char* o : {"--plugin", "--entry", "--input", "--output", "--channels", "--rate", "--block",
                          "--max-frames", "--duration", "--frames", "--fast", "--tempo", "--midi", "--midi-pipe", "--restore-state",
                          "--save-state", "--help", "SIGINT", "SIGTERM", "MIDI file"})
        EXPECT_NE(std::string::npos, r.out.find(o)) << o;
}

TEST_F(QmhostTest, StopsCleanlyOnASignal)
{
    // SIGHUP: the terminal it ran in was closed.
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        int out[2];
        ASSERT_EQ(0, pipe(out));
        int efd = open(file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = spawn(command({"-o", file("run.wav"), "--save-state", file("run.plist")}), out[1], efd);
        close(out[1]);
        close(efd);
        // Real time, no length: it runs until told to stop, once it has
        // written a block.
        char buf[64] = {0};
        ssize_t n = read(out[0], buf, sizeof buf - 1);
        ASSERT_GT(n, 0);
        EXPECT_STREQ("OSC port: 4242\n", buf);
        const long long start = bytes_written_by(pid);
        long long frames = 0;
        while ((frames = qmtest::frames_written_by(pid, start, 512, 2 * sizeof(float))) < 512 &&
               waitpid(pid, nullptr, WNOHANG) == 0)
            usleep(1000);
        kill(pid, sig);
        EXPECT_EQ(0, wait_status(pid)) << slurp(file("stderr"));
        close(out[0]);

        SF_INFO info;
        read_wav(file("run.wav"), info);
        EXPECT_GE(info.frames, frames);
        EXPECT_GE(frames, 512);
        std::string error;
        CFPropertyListRef state = qmhost::read_plist_file(file("run.plist"), error);
        EXPECT_NE(nullptr, state) << error;
        if (state) CFRelease(state);
    }
}

} // namespace

namespace {

class QmhostEditorTest : public QmhostTest {
protected:
    void SetUp() override
    {
        QmhostTest::SetUp();
        const char* h = std::getenv("HOME");
        saved_home = h ? h : "";
        app = file("Test GUI.app");
        gui_out = file("gui");
        ASSERT_EQ(0, system(("mkdir -p '" + app + "/Contents/MacOS' '" + gui_out + "' '" + file("home/.quillomat") +
                             "' && cp '" FAKE_QMGUI "' '" + app + "/Contents/MacOS/qmgui'")
                                .c_str()));
        write_text(file("home/.quillomat/default_app_path"), app + "\n");
        setenv("HOME", file("home").c_str(), 1);
        setenv("FAKE_QMGUI_DIR", gui_out.c_str(), 1);
    }
    void TearDown() override
    {
        if (saved_home.empty()) unsetenv("HOME");
        else setenv("HOME", saved_home.c_str(), 1);
        unsetenv("FAKE_QMGUI_DIR");
        QmhostTest::TearDown();
    }

    Result run_editor(std::vector<std::string> args)
    {
        args.insert(args.begin(), {QMHOST_PATH, "--plugin", QM_GAIN_EFFECT_VIEW_PATH, "--entry", "TestGainEffectEntry",
                                   "--editor"});
        return run(args, false);
    }

    std::string saved_home, app, gui_out;
};

TEST_F(QmhostEditorTest, EditorStartsTheGuiOnTheUnitsPortAndEndsItWithTheRun)
{
    Result r = run_editor({"--duration", "1"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(0u, r.out.find("OSC port: 4242\neditor: text \"Quillomat OSC server port is: 4242\"\n"
                             "editor: text \"GUI Path: \"\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("editor: button \"Browse..\"\neditor: button \"Start GUI\"\n")) << r.out;

    std::string args;
    for (const char* a : {"-H", "localhost", "-P", "4242", "-N"}) args += std::string(a) + '\0';
    EXPECT_EQ(args, slurp(gui_out + "/args"));
    EXPECT_EQ("start\n", slurp(gui_out + "/launches"));
    EXPECT_EQ(app + "\n", slurp(file("home/.quillomat/default_app_path")));
    // Ended by the view, not left behind as an orphan.
    pid_t pid = (pid_t)std::stol(slurp(gui_out + "/pid"));
    EXPECT_EQ(-1, kill(pid, 0));
    EXPECT_EQ(ESRCH, errno);
}

TEST_F(QmhostEditorTest, MissingViewEntryIsReported)
{
    Result r = run_editor({"--editor-entry", "NoSuchViewEntry", "--frames", "0"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("no editor view entry point NoSuchViewEntry")) << r.err;
    EXPECT_EQ("", slurp(gui_out + "/launches"));
}

} // namespace
