// The host with the looper plug-in, killed while it saves a long loop take or
// a session over an older one: the file is then either the old one or the
// new one, whole, and no side file is left under the user's name. A take
// written in place (it has a second hard link), killed once the copy over it
// has begun, may be part new, part old: its old contents are then whole in
// the kept copy beside it, which a load of the take names.
//
// QM_KILL_RUNS=N sets the kills of each kind (default 2); the test then
// prints how many files were found whole.
#include <fcntl.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "file_fixture.h"
#include "osc_client.h"

namespace {

const int kRate = 48000;
const int kChannels = 2;
const long kLoopFrames = 20L * kRate;  // a 20-second stereo take, 7.7 MB to write

using Clock = std::chrono::steady_clock;

bool write_wav(const std::string& path, long frames, float scale)
{
    SF_INFO info = {};
    info.channels = kChannels;
    info.samplerate = kRate;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) return false;
    std::vector<float> data((size_t)frames * kChannels);
    for (size_t n = 0; n < data.size(); ++n) data[n] = scale * (float)std::sin(0.0007 * (double)n);
    const bool ok = sf_writef_float(f, data.data(), frames) == frames;
    return sf_close(f) == 0 && ok;
}

// What a take holds as libsndfile reads it: its shape and samples; empty when
// it does not read whole.
std::string take_of(const std::string& path)
{
    SF_INFO info = {};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return std::string();
    std::vector<float> data((size_t)info.frames * (size_t)info.channels + 1);
    const bool whole = sf_readf_float(f, data.data(), info.frames) == info.frames;
    sf_close(f);
    if (!whole) return std::string();
    data.pop_back();
    return std::to_string(info.channels) + "x" + std::to_string(info.frames) + ":" +
           std::string(reinterpret_cast<const char*>(data.data()), data.size() * sizeof(float));
}

// qmhost in real time with the looper plug-in, until it is killed.
struct Host {
    explicit Host(const std::string& log)
    {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        const int err = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            dup2(err, 2);
            execl(QMHOST_PATH, QMHOST_PATH, "-b", "256", (char*)nullptr);
            _exit(127);
        }
        close(out[1]);
        close(err);
        char line[64] = {0};
        if (read(out[0], line, sizeof line - 1) > 0) std::sscanf(line, "OSC port: %d", &port);
        close(out[0]);
    }
    ~Host() { kill(); }
    void kill()
    {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
    pid_t pid = -1;
    int port = 0;
};

// The first and last 4 KiB of a file.
std::string ends_of(const std::string& path)
{
    char head[4096], tail[4096];
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const off_t size = fd >= 0 ? lseek(fd, 0, SEEK_END) : 0;
    const ssize_t h = pread(fd, head, sizeof head, 0), t = pread(fd, tail, sizeof tail, size > 4096 ? size - 4096 : 0);
    if (fd >= 0) close(fd);
    return h < 0 || t < 0 ? std::string() : std::string(head, (size_t)h) + std::string(tail, (size_t)t);
}

// Stops the host again and again until it is caught with the take part
// written: neither the old take's start nor the new one's ends. Then it is
// killed, stopped as it is. False when the save ended first.
bool kill_mid_copy(Host& host, const std::string& take, const std::string& old_ends, const std::string& new_ends)
{
    const auto until = Clock::now() + std::chrono::seconds(20);
    bool caught = false;
    for (int status = 0; !caught && Clock::now() < until; std::this_thread::sleep_for(std::chrono::microseconds(100))) {
        if (kill(host.pid, SIGSTOP) != 0 || waitpid(host.pid, &status, WUNTRACED) != host.pid) break;
        const std::string now = ends_of(take);
        caught = now.compare(0, 4096, old_ends, 0, 4096) != 0 && now != new_ends;
        if (now == new_ends || (!caught && kill(host.pid, SIGCONT) != 0)) break;
    }
    host.kill();
    return caught;
}

struct Kind {
    std::string name;
    std::string take;  // the file saved over
    int saves;         // requests in one go: short saves are asked for many times
    bool in_place;     // the take has a second link, and the kill comes while the copy over it runs
    std::function<std::string(const std::string&)> content;
    std::function<bool(const std::string&)> write_old;
    std::function<bool(qmtest::OscClient&, const std::string&)> save;
};

TEST(QmhostKilledMidSave, FilesAreOldOrNewAndWholeAndNothingIsLeftBeside)
{
    const char* env = std::getenv("QM_KILL_RUNS");
    const int runs = env && std::atoi(env) > 0 ? std::atoi(env) : 2;
    qmtest::ScratchDir d;
    const std::string src = d.path("src.wav"), fresh = d.path("fresh"), log = d.path("host.log");
    ASSERT_TRUE(write_wav(src, kLoopFrames, 0.5f));

    auto save_loop = [](qmtest::OscClient& c, const std::string& p) {
        return c.send("/qm/0/save_loop", p, "float", "little", c.url(), "/err");
    };
    auto old_take = [](const std::string& p) { return write_wav(p, kRate, 0.25f); };
    const Kind kinds[] = {
        {"loop", "take.wav", 1, false, take_of, old_take, save_loop},
        {"loop in place", "take.wav", 1, true, take_of, old_take, save_loop},
        {"session", "take.qms", 40, false, qmtest::bytes_of,
         [](const std::string& p) { return (bool)(std::ofstream(p) << "<?xml version=\"1.0\"?>\n<QMSession/>\n"); },
         [](qmtest::OscClient& c, const std::string& p) { return c.send("/save_session", p, c.url(), "/err"); }},
    };
    for (const Kind& k : kinds) {
        SCOPED_TRACE(k.name);
        const std::string take = d.path(k.take), link = take + ".link", kept = d.path("." + k.take + ".qmkeep");
        int old_kept = 0, new_kept = 0, side_left = 0, kept_whole = 0, caught = 0;
        for (int r = 0; r < runs; ++r) {
            Host host(log);
            if (host.port == 0) GTEST_SKIP() << "no OSC port from the plug-in; see " << log;
            qmtest::OscClient c(host.port);
            ASSERT_TRUE(c.ok());
            if (k.name.compare(0, 4, "loop") == 0) {
                ASSERT_TRUE(c.send("/qm/0/load_loop", src, c.url(), "/err") && c.sync(20000));
            }
            // One save to another name, timed: what a whole new file holds.
            const auto t0 = Clock::now();
            ASSERT_TRUE(k.save(c, fresh) && c.sync(20000));
            const auto took = Clock::now() - t0;
            const std::string new_one = k.content(fresh);
            ASSERT_FALSE(new_one.empty());
            ASSERT_TRUE(c.collect(0).empty()) << "an error answer";

            ASSERT_TRUE(k.write_old(take));
            const std::string old_one = k.content(take);
            ASSERT_FALSE(old_one.empty());
            if (k.in_place) {
                ASSERT_EQ(::link(take.c_str(), link.c_str()), 0);
                const std::string old_ends = ends_of(take);
                ASSERT_TRUE(k.save(c, take));
                caught += kill_mid_copy(host, take, old_ends, ends_of(fresh));
            } else {
                // Kills spread over the saves, from their start to a little past.
                const auto delay = took * k.saves * (1.1 * (r + 0.5) / runs);
                for (int s = 0; s < k.saves; ++s) ASSERT_TRUE(k.save(c, take));
                std::this_thread::sleep_for(delay);
                host.kill();
            }

            const std::string now = k.content(take);
            const bool in_kept = k.in_place && now != old_one && now != new_one && k.content(kept) == old_one;
            EXPECT_TRUE(now == old_one || now == new_one || in_kept) << "run " << r << ": " << now.size() << " bytes";
            old_kept += now == old_one;
            new_kept += now == new_one;
            kept_whole += in_kept;
            if (access(kept.c_str(), F_OK) == 0) {
                // A load of the take says where its old contents are; then
                // they are moved away, as the user is told to.
                EXPECT_EQ(k.content(kept), old_one) << "run " << r << ": the kept copy is not the old take";
                const size_t logged = qmtest::bytes_of(log).size();
                Host loader(log);
                qmtest::OscClient lc(loader.port);
                ASSERT_TRUE(lc.send("/qm/0/load_loop", take, lc.url(), "/err") && lc.sync(20000));
                const std::string warned = take + ": a save of it did not finish; its old contents are kept in " + kept;
                EXPECT_NE(qmtest::bytes_of(log).find(warned + "\n", logged), std::string::npos);
                unlink(kept.c_str());
            }
            unlink(link.c_str());
            // At most the one side file that an unlucky kill leaves and the
            // next save removes; nothing named after the take.
            int sides = 0;
            for (const std::string& e : d.entries()) {
                if (e[0] == '.' && e.size() > 7 && e.compare(e.size() - 7, 7, ".qmsave") == 0) {
                    ++sides;
                } else if (e != "src.wav" && e != "fresh" && e != "host.log" && e != k.take) {
                    ADD_FAILURE() << "left beside the take: " << e;
                }
            }
            EXPECT_LE(sides, 1);
            side_left += sides;
        }
        std::printf("%s saves: files kept whole across %d kills mid-save: %d (old %d, new %d), else the old one "
                    "kept whole beside: %d (kills caught mid-copy: %d); side files seen %d\n",
                    k.name.c_str(), runs, old_kept + new_kept, old_kept, new_kept, kept_whole, caught, side_left);
        EXPECT_EQ(old_kept + new_kept + kept_whole, runs);
        unlink(take.c_str());
    }
}

} // namespace
