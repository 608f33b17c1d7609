#include <launch_qmgui.h>

#include <AppKit/StandIn.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "run_loop.h"

namespace fs = std::filesystem;

namespace {

const char* const alert_title = "Error Starting GUI.  Please choose the correct application path.";
const std::vector<std::string> gui_args{"-H", "localhost", "-P", "10051", "-N"};

using qmtest::pump_for;
using qmtest::pump_until;
using qmtest::seconds_since;

// Times this thread has given way to wait for something: a wait for a child
// sleeps again and again, however busy the machine.
long sleeps()
{
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return u.ru_nvcsw;
}

class Launcher : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/qmgui_test.XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        top = name;
        // Where a user may keep the application: blanks and quotes in the path.
        fs::path macos = top / "My \"GUI\" it's.app" / "Contents" / "MacOS";
        fs::create_directories(macos);
        gui = macos / "qmgui";
        fs::copy_file(FAKE_QMGUI, gui);
        fs::permissions(gui, fs::perms::owner_all);
        out = top / "out";
        fs::create_directory(out);
        setenv("FAKE_QMGUI_DIR", out.c_str(), 1);
        for (const char* v : {"FAKE_QMGUI_TALK", "FAKE_QMGUI_IGNORE_TERM", "FAKE_QMGUI_GRANDCHILD",
                              "FAKE_QMGUI_LIFE"}) {
            unsetenv(v);
        }
        AppKitStandIn::clearRecordedAlerts();
    }

    void TearDown() override
    {
        if (launcher) {
            launcher->terminate();
            launcher.reset();
        }
        if (written("grandchild")) {
            kill(pid_in("grandchild"), SIGKILL);
        }
        fs::remove_all(top);
    }

    void start(const fs::path& path, const std::vector<std::string>& args = gui_args)
    {
        launcher = std::make_unique<LaunchQMgui>(path.string(), args);
        ASSERT_TRUE(launcher->launch());
    }

    bool written(const char* name) const
    {
        std::error_code ec;
        return fs::file_size(out / name, ec) > 0 && !ec;
    }

    // The child writes its pid last of its start-up files.
    bool child_started() { return pump_until([this] { return written("pid"); }); }

    std::string slurp(const char* name) const
    {
        std::ifstream f(out / name, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }

    pid_t pid_in(const char* name) const { return (pid_t)std::stol(slurp(name)); }

    int launches() const
    {
        std::string s = slurp("launches");
        return (int)std::count(s.begin(), s.end(), '\n');
    }

    fs::path top, gui, out;
    std::unique_ptr<LaunchQMgui> launcher;
};

TEST_F(Launcher, PathThatCannotRunShowsOneAlertAndAnotherPathCanThenStart)
{
    struct Case {
        const char* what;
        std::function<fs::path(const fs::path& dir)> make;
    };
    const Case cases[] = {
        {"missing", [](const fs::path& d) { return d / "missing"; }},
        {"not executable",
         [this](const fs::path& d) {
             fs::copy_file(gui, d / "plain");
             fs::permissions(d / "plain", fs::perms::owner_read | fs::perms::owner_write);
             return d / "plain";
         }},
        {"a directory", [](const fs::path& d) { return d; }},
        {"not a program",
         [](const fs::path& d) {
             std::ofstream(d / "text") << "this is no program\n";
             fs::permissions(d / "text", fs::perms::owner_all);
             return d / "text";
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        AppKitStandIn::clearRecordedAlerts();
        fs::path dir = top / c.what;
        fs::create_directory(dir);
        fs::path path = c.make(dir);

        start(path);
        EXPECT_FALSE(launcher->isRunning());
        pump_for(0.2);
        EXPECT_FALSE(launcher->isRunning());
        auto alerts = AppKitStandIn::recordedAlerts();
        ASSERT_EQ(alerts.size(), 1u);
        EXPECT_EQ(alerts[0].title, alert_title);
        EXPECT_NE(alerts[0].message.find(path.string()), std::string::npos) << alerts[0].message;
        EXPECT_EQ(alerts[0].defaultButton, "OK");
        EXPECT_FALSE(fs::exists(out / "launches"));

        // The user chooses the right application and presses Start GUI again.
        launcher->set_path(gui.string());
        ASSERT_TRUE(launcher->launch());
        EXPECT_TRUE(launcher->isRunning());
        ASSERT_TRUE(child_started());
        EXPECT_EQ(AppKitStandIn::recordedAlerts().size(), 1u);
        launcher->terminate();
        EXPECT_FALSE(launcher->isRunning());
        fs::remove(out / "launches");
        fs::remove(out / "pid");
    }
}

TEST_F(Launcher, ChildThatEndsByItselfIsNoticedAndStartsAgain)
{
    setenv("FAKE_QMGUI_LIFE", "0", 1);
    start(gui);
    EXPECT_TRUE(launcher->isRunning());
    ASSERT_TRUE(pump_until([this] { return !launcher->isRunning(); }));
    EXPECT_EQ(launches(), 1);

    ASSERT_TRUE(launcher->launch());
    EXPECT_TRUE(launcher->isRunning());
    ASSERT_TRUE(pump_until([this] { return !launcher->isRunning(); }));
    EXPECT_EQ(launches(), 2);
    EXPECT_TRUE(AppKitStandIn::recordedAlerts().empty());
}

TEST_F(Launcher, TerminateAfterTheChildEndedDoesNothing)
{
    setenv("FAKE_QMGUI_LIFE", "0", 1);
    for (bool noticed : {true, false}) {
        SCOPED_TRACE(noticed ? "end noticed" : "end not yet noticed");
        fs::remove(out / "pid");
        start(gui);
        if (noticed) {
            ASSERT_TRUE(pump_until([this] { return !launcher->isRunning(); }));
        } else {
            // Ended (a zombie), while the launcher has not read the end yet:
            // nothing pumps the run loop meanwhile.
            const auto t = std::chrono::steady_clock::now();
            while (!written("pid") && seconds_since(t) < 15) {
                usleep(5000);
            }
            const std::string proc = "/proc/" + std::to_string(pid_in("pid"));
            for (std::string stat; stat.find(") Z") == std::string::npos && seconds_since(t) < 15;) {
                std::ifstream f(proc + "/stat");
                std::getline(f, stat);
                usleep(5000);
            }
            EXPECT_TRUE(launcher->isRunning());
        }
        const long slept = sleeps();
        launcher->terminate();
        EXPECT_LT(sleeps() - slept, 10);
        EXPECT_FALSE(launcher->isRunning());
        launcher->terminate();
        EXPECT_FALSE(launcher->isRunning());
        pump_for(0.1);
        EXPECT_FALSE(launcher->isRunning());
    }
    EXPECT_TRUE(AppKitStandIn::recordedAlerts().empty());
}

TEST_F(Launcher, TalkativeChildNeverBlocksOnAFullPipe)
{
    setenv("FAKE_QMGUI_TALK", std::to_string(2 << 20).c_str(), 1);
    setenv("FAKE_QMGUI_LIFE", "0", 1);
    start(gui);
    EXPECT_TRUE(pump_until([this] { return fs::exists(out / "talked"); }));
    EXPECT_TRUE(pump_until([this] { return !launcher->isRunning(); }));
}

TEST_F(Launcher, ChildIsStoppedWithinABoundWhateverItDoes)
{
    struct Case {
        const char* what;
        std::vector<const char*> env;
    };
    const Case cases[] = {
        {"ignores SIGTERM", {"FAKE_QMGUI_IGNORE_TERM"}},
        {"ignores SIGTERM while talking", {"FAKE_QMGUI_IGNORE_TERM", "FAKE_QMGUI_TALK"}},
        {"leaves a process holding its output", {"FAKE_QMGUI_GRANDCHILD"}},
        {"both", {"FAKE_QMGUI_IGNORE_TERM", "FAKE_QMGUI_GRANDCHILD"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const char* v : c.env) {
            setenv(v, v == std::string("FAKE_QMGUI_TALK") ? "1000000000" : "1", 1);
        }
        start(gui);
        ASSERT_TRUE(child_started());
        pid_t pid = pid_in("pid");

        // The launcher gives up on the child after its grace periods by the
        // clock; a wait for the child's end or its output's never returns.
        const auto t = std::chrono::steady_clock::now();
        launcher->terminate();
        EXPECT_LT(seconds_since(t), 30.0);
        EXPECT_FALSE(launcher->isRunning());
        // Killed and reaped: the id goes, also when the kill lands late.
        while (kill(pid, 0) == 0 && seconds_since(t) < 60) {
            usleep(5000);
        }
        EXPECT_EQ(kill(pid, 0), -1);
        EXPECT_EQ(errno, ESRCH);

        for (const char* v : c.env) {
            unsetenv(v);
        }
        if (written("grandchild")) {
            kill(pid_in("grandchild"), SIGKILL);
            fs::remove(out / "grandchild");
        }
        fs::remove(out / "pid");
    }
}

TEST_F(Launcher, ArgumentsReachTheChildExactlyAndOnlyOnce)
{
    const std::vector<std::string> args{"-H", "my host", "-P", "10051", "-N", "it's \"quoted\"",
                                        "$HOME `id` ;|& >x", "*", "a\nb", "", "\xc3\xbc"};
    start(gui, args);
    EXPECT_TRUE(launcher->launch()); // still running: starts nothing
    ASSERT_TRUE(child_started());
    std::string expected;
    for (const std::string& a : args) {
        expected += a + '\0';
    }
    EXPECT_EQ(slurp("args"), expected);
    pump_for(0.2);
    EXPECT_EQ(launches(), 1);
    EXPECT_FALSE(fs::exists(top / "My \"GUI\" it's.app/Contents/MacOS/x"));
}

TEST_F(Launcher, ChildGetsOnlyItsStandardStreams)
{
    // The host's open descriptors, as the engine's OSC socket would be.
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    int file = open((top / "host-file").c_str(), O_CREAT | O_RDWR, 0600);
    ASSERT_GE(file, 0);

    start(gui);
    ASSERT_TRUE(child_started());
    std::istringstream fds(slurp("fds"));
    std::string script = fs::canonical(gui).string();
    std::map<int, std::string> open;
    int fd;
    std::string target;
    while (fds >> fd && std::getline(fds >> std::ws, target)) {
        open[fd] = target;
    }
    EXPECT_EQ(open[1].rfind("pipe:", 0), 0u) << open[1];
    EXPECT_EQ(open[2], open[1]);
    for (const auto& [n, where] : open) {
        EXPECT_TRUE(n <= 2 || where == script) << "descriptor " << n << " -> " << where;
    }
    close(file);
    close(sock);
}

} // namespace
