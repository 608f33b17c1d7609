// Files named in OSC requests, with the engine thread, the OSC server and the
// MIDI bridge running: only regular files are read and the engine thread never
// waits on a pipe; saves of sessions, loop takes and bindings replace the
// file the name leads to, through symbolic links and with names of any
// length the system allows, and leave nothing beside it.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "file_fixture.h"
#include "midi_bridge.h"
#include "osc_fixture.h"

using namespace Quillomat;
using qmtest::EngineHost;
using qmtest::OscClient;
using qmtest::OscMsg;
using qmtest::bytes_of;
using qmtest::put;
using qmtest::ScratchDir;

namespace {

const std::string kBinding = "0 cc 7  set wet -1  0 1  ";
const long kFrames = 4800;

class FileRequestsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(host.ok && host.port);
        ASSERT_TRUE(c.ok());
        ASSERT_TRUE(host.engine.add_loop(1, 1.0f, true));
        ASSERT_TRUE(c.send("/add_midi_binding", kBinding, ""));
        ASSERT_TRUE(c.sync());
    }

    std::vector<std::string> bindings()
    {
        MidiBindings::BindingList all;
        Kvo::LockMonitor lm(bridge.bindings_lock(), __LINE__, __FILE__);
        bridge.bindings().get_bindings(all);
        std::vector<std::string> out;
        for (const MidiBindInfo& b : all) out.push_back(b.serialize());
        return out;
    }

    // The error answers to what was sent, once the engine thread has gone
    // through it; a request stuck on the pipe fails the test and is let go.
    std::vector<std::string> answers(const std::string& pipe)
    {
        if (!c.sync(5000)) {
            ADD_FAILURE() << "the engine thread stopped answering";
            qmtest::release_readers(pipe, [] { return false; }, 1000);
            EXPECT_TRUE(c.sync(10000));
        }
        std::vector<std::string> out;
        for (const OscMsg& m : c.collect(0)) {
            if (m.path == "/err") out.push_back(m.s(1));
        }
        return out;
    }

    // Loop 0 holds a take of kFrames from src.wav.
    void load_take()
    {
        SF_INFO info = {};
        info.samplerate = 48000;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        SNDFILE* f = sf_open(d.path("src.wav").c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr);
        const std::vector<float> wave(kFrames, 0.25f);
        ASSERT_EQ(sf_writef_float(f, wave.data(), kFrames), kFrames);
        sf_close(f);
        ASSERT_TRUE(c.send("/qm/0/load_loop", d.path("src.wav"), c.url(), "/err"));
        ASSERT_TRUE(answers("").empty());
    }

    MidiBridge bridge{"AUmidi"};
    EngineHost host{256, &bridge};
    OscClient c{host.port};
    ScratchDir d;
};

TEST_F(FileRequestsTest, OnlyRegularFilesAreReadAndTheEngineThreadNeverWaitsOnAPipe)
{
    const std::string pipe = d.fifo("pipe");
    ASSERT_EQ(mkdir(d.path("dir").c_str(), 0700), 0);
    put(d.path("many_lines"), std::string(10001, '\n'));
    put(d.path("long_line"), "# " + std::string(5000, 'x') + "\n" + kBinding + "\n");
    put(d.path("large"), std::string((1 << 20) + 1, ' '));
    const std::string url = c.url();
    for (const std::string& path : {pipe, d.path("dir"), std::string("/dev/null")}) {
        SCOPED_TRACE(path);
        testing::internal::CaptureStderr();
        ASSERT_TRUE(c.send("/load_session", path, url, "/err"));
        EXPECT_EQ(answers(pipe), std::vector<std::string>{"Session Load Failed"});
        ASSERT_TRUE(c.send("/qm/0/load_loop", path, url, "/err"));
        EXPECT_EQ(answers(pipe), std::vector<std::string>{"Loop Load Failed"});
        ASSERT_TRUE(c.send("/load_midi_bindings", path, ""));
        EXPECT_TRUE(answers(pipe).empty());
        EXPECT_EQ(bindings(), std::vector<std::string>{kBinding});
        // Each refusal says why, once.
        const std::string err = testing::internal::GetCapturedStderr(), why = path + ": not a regular file\n";
        size_t said = 0;
        for (size_t at = err.find(why); at != std::string::npos; at = err.find(why, at + 1)) ++said;
        EXPECT_EQ(said, 3u) << err;
    }
    // Files too big to be bindings leave the table whole.
    for (const std::string& path : {std::string("/dev/zero"), d.path("many_lines"), d.path("long_line"), d.path("large")}) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(c.send("/load_midi_bindings", path, ""));
        EXPECT_TRUE(answers(pipe).empty());
        EXPECT_EQ(bindings(), std::vector<std::string>{kBinding});
    }
    EXPECT_EQ(host.engine.loop_count(), 1u);
}

TEST_F(FileRequestsTest, SavesReplaceWhatTheNameLeadsToWhateverItsLength)
{
    ASSERT_NO_FATAL_FAILURE(load_take());
    const std::string url = c.url();

    struct Kind {
        std::string name;
        std::function<bool(const std::string&)> save;
        std::function<bool(const std::string&)> saved;  // whether the file holds the new save
    };
    const Kind kinds[] = {
        {"session", [&](const std::string& p) { return c.send("/save_session", p, url, "/err"); },
         // Read as text: libxml2 on this thread beside the engine's would
         // need a barrier that OSC answers do not give.
         [](const std::string& p) {
             const std::string text = bytes_of(p);
             return text.rfind("<?xml", 0) == 0 && text.find("\n</QMSession>\n") == text.size() - 14;
         }},
        {"loop", [&](const std::string& p) { return c.send("/qm/0/save_loop", p, "float", "little", url, "/err"); },
         [](const std::string& p) {
             SF_INFO i = {};
             SNDFILE* s = sf_open(p.c_str(), SFM_READ, &i);
             std::vector<float> got(kFrames + 1);
             const bool whole = s && i.frames == kFrames && sf_readf_float(s, got.data(), kFrames) == kFrames &&
                                got[kFrames - 1] == 0.25f;
             if (s) sf_close(s);
             return whole;
         }},
        {"bindings", [&](const std::string& p) { return c.send("/save_midi_bindings", p, ""); },
         [](const std::string& p) { return bytes_of(p) == kBinding + "\n"; }},
    };
    ASSERT_EQ(mkdir(d.path("takes").c_str(), 0700), 0);
    for (const Kind& k : kinds) {
        SCOPED_TRACE(k.name);
        // Over a take that is there, through a relative link, and with a name
        // of the system's full length.
        const std::string take = d.path("takes/" + k.name), link = d.path(k.name + ".link");
        const std::string longest = d.path(std::string(NAME_MAX - k.name.size(), 'n') + k.name);
        put(take, "old take");
        put(longest, "old take");
        ASSERT_EQ(symlink(("takes/" + k.name).c_str(), link.c_str()), 0);
        for (const std::string& path : {take, link, longest}) {
            put(take, "old take");
            ASSERT_TRUE(k.save(path));
            EXPECT_TRUE(answers("").empty()) << path;
            EXPECT_TRUE(k.saved(path == link ? take : path)) << path;
        }
        struct stat st;
        ASSERT_EQ(lstat(link.c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
    }
    // Nothing beside what was named: the source, the folder, and per kind a
    // link and a long name.
    EXPECT_EQ(d.entries().size(), 2u + 2 * 3);
    EXPECT_EQ(d.entries("takes"), (std::set<std::string>{"bindings", "loop", "session"}));
}

// Another program's lock of any kind on a loop take or a session fails its
// saves at once, so the engine thread goes on answering, and a lock for
// writing fails its loads; neither file changes.
TEST_F(FileRequestsTest, AnotherProgramsLockIsNeverWaitedFor)
{
    ASSERT_NO_FATAL_FAILURE(load_take());
    const std::string url = c.url(), take = d.path("take.wav"), session = d.path("session.xml");
    auto save = [&] {
        return c.send("/qm/0/save_loop", take, "float", "little", url, "/err") &&
               c.send("/save_session", session, url, "/err");
    };
    auto load = [&] {
        return c.send("/qm/0/load_loop", take, url, "/err") && c.send("/load_session", session, url, "/err");
    };
    ASSERT_TRUE(save());
    ASSERT_TRUE(answers("").empty());
    const std::string old_take = bytes_of(take), old_session = bytes_of(session);
    const std::pair<const char*, bool> kinds[] = {
        // what, and whether it is for writing
        {"flock shared", false}, {"flock exclusive", true}, {"fcntl write", true}, {"ofd write", true}};
    for (const auto& k : kinds) {
        SCOPED_TRACE(k.first);
        const qmtest::LockHolder on_take(take, k.first), on_session(session, k.first);
        ASSERT_TRUE(on_take.held && on_session.held);
        ASSERT_TRUE(save() && load());
        std::vector<std::string> failed = {"Loop Save Failed", "Session Save Failed"};
        if (k.second) {
            failed.insert(failed.end(), {"Loop Load Failed", "Session Load Failed"});
        }
        EXPECT_EQ(answers(""), failed);
        EXPECT_EQ(bytes_of(take), old_take);
        EXPECT_EQ(bytes_of(session), old_session);
    }
    ASSERT_TRUE(load());
    EXPECT_TRUE(answers("").empty());
}

// Two hosts saving loops of one number with made-up names into one folder
// at the same moment keep every take: each name is claimed as it is chosen.
TEST_F(FileRequestsTest, TwoHostsSavingWithMadeUpNamesAtOnceKeepEveryTake)
{
    ASSERT_NO_FATAL_FAILURE(load_take());
    EngineHost other{256};
    ASSERT_TRUE(other.ok && other.port);
    OscClient c2{other.port};
    ASSERT_TRUE(other.engine.add_loop(1, 1.0f, true));
    ASSERT_TRUE(c2.send("/qm/0/load_loop", d.path("src.wav"), c2.url(), "/err") && c2.sync(5000));
    ASSERT_EQ(mkdir(d.path("saves").c_str(), 0700), 0);
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(d.path("saves").c_str()), 0);
    const int rounds = 5;
    bool sent = true;
    for (int r = 0; r < rounds && sent; ++r) {
        sent = c.send("/qm/0/save_loop", "", "float", "little", c.url(), "/err") &&
               c2.send("/qm/0/save_loop", "", "float", "little", c2.url(), "/err") && c.sync(10000) && c2.sync(10000);
    }
    ASSERT_EQ(chdir(cwd), 0);
    ASSERT_TRUE(sent);
    EXPECT_TRUE(answers("").empty());
    EXPECT_TRUE(c2.collect(0).empty());
    const std::set<std::string> saved = d.entries("saves");
    EXPECT_EQ(saved.size(), 2u * rounds);
    for (const std::string& name : saved) {
        SF_INFO info = {};
        SNDFILE* f = sf_open(d.path("saves/" + name).c_str(), SFM_READ, &info);
        EXPECT_TRUE(f && info.frames == kFrames) << name;
        if (f) sf_close(f);
    }
}

} // namespace
