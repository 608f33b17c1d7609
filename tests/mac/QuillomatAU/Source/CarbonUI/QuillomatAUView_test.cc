// The editor view opened as a host opens it: through its entry point, in a
// headless window, on a unit that has the OSC port parameter and the GUI path
// property. The GUI application is the stand-in script.
#include <QuillomatAUShared.h>
#include <QuillomatAUView.h>

#include <AUPublic/AUBase.h>
#include <AppKit/StandIn.h>
#include <Carbon/StandIn.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "local_address.h"
#include "run_loop.h"

namespace fs = std::filesystem;

extern "C" ComponentResult QuillomatAUViewEntry(ComponentParameters* params, Handle storage);

namespace {

const char* const kAlertTitle = "Error Starting GUI.  Please choose the correct application path.";
const char* const kDefaultPath = "/Applications/Quillomat.app";
const UInt32 kStart = 0x53747274;  // 'Strt'

// How the unit answers for the GUI path property.
enum class PathProperty { Plain, Missing, SizeZero, Unreadable, Unterminated, HugeSize, ReadOnly };

struct UnitScript {
    float port = 10051;
    PathProperty mode = PathProperty::Plain;
    std::string path;
    int sets = 0;
} g_unit;

class FakeUnit : public AUBase {
public:
    explicit FakeUnit(ComponentInstance ci) : AUBase(ci, 0, 0)
    {
        Globals()->UseIndexedParameters(1);
        SetParameter(kQuillomatOSCPortParameter, g_unit.port);
    }

    ComponentResult GetPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                                    UInt32& size, Boolean& writable) override
    {
        if (id != kQuillomatAppPathProperty) return AUBase::GetPropertyInfo(id, scope, element, size, writable);
        writable = g_unit.mode != PathProperty::ReadOnly;
        switch (g_unit.mode) {
        case PathProperty::Missing: return kAudioUnitErr_InvalidProperty;
        case PathProperty::SizeZero: size = 0; break;
        case PathProperty::Unterminated: size = (UInt32)g_unit.path.size(); break;
        case PathProperty::HugeSize: size = 0xFFFFFFFFu; break;
        default: size = (UInt32)g_unit.path.size() + 1;
        }
        return noErr;
    }

    ComponentResult GetProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                                void* data) override
    {
        if (id != kQuillomatAppPathProperty) return AUBase::GetProperty(id, scope, element, data);
        switch (g_unit.mode) {
        case PathProperty::Unreadable:
            std::memset(data, 'X', g_unit.path.size() + 1);
            return kAudioUnitErr_InvalidPropertyValue;
        case PathProperty::Unterminated:
            std::memcpy(data, g_unit.path.data(), g_unit.path.size());
            return noErr;
        case PathProperty::HugeSize:
            return kAudioUnitErr_InvalidPropertyValue;
        default:
            std::memcpy(data, g_unit.path.c_str(), g_unit.path.size() + 1);
            return noErr;
        }
    }

    ComponentResult SetProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                                const void* data, UInt32 size) override
    {
        if (id != kQuillomatAppPathProperty) return AUBase::SetProperty(id, scope, element, data, size);
        if (g_unit.mode == PathProperty::ReadOnly) return kAudioUnitErr_PropertyNotWritable;
        g_unit.path.assign(static_cast<const char*>(data), strnlen(static_cast<const char*>(data), size));
        ++g_unit.sets;
        return noErr;
    }
};

} // namespace

COMPONENT_ENTRY(FakeUnit)

namespace {

using qmtest::pump_for;
using qmtest::pump_until;

std::string slurp(const fs::path& p)
{
    std::ifstream f(p, std::ios::binary);
    if (!f) return "<none>";
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// The arguments the GUI is started with to reach the unit's server at host,
// each ended by a NUL as the stand-in script writes them.
std::string gui_args(const std::string& host)
{
    std::string args;
    for (const std::string& a : std::initializer_list<std::string>{"-H", host, "-P", "10051", "-N"}) args += a + '\0';
    return args;
}

// A control's bounds relative to an origin.
struct Box {
    int top, left, bottom, right;
    bool operator==(const Box& o) const
    {
        return top == o.top && left == o.left && bottom == o.bottom && right == o.right;
    }
};

std::ostream& operator<<(std::ostream& os, const Box& b)
{
    return os << "{" << b.top << ", " << b.left << ", " << b.bottom << ", " << b.right << "}";
}

class ViewTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/qmview_test.XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        top = fs::canonical(name);
        home = top / "home";
        out = top / "out";
        fs::create_directories(home);
        fs::create_directories(out);
        good = make_bundle("Good.app");
        const char* h = std::getenv("HOME");
        saved_home = h ? h : "";
        setenv("HOME", home.c_str(), 1);
        setenv("FAKE_QMGUI_DIR", out.c_str(), 1);
        unsetenv("FAKE_QMGUI_LIFE");
        g_unit = UnitScript{};
        AppKitStandIn::clearRecordedAlerts();
        CarbonStandIn::reset();
        handlers_before = CarbonStandIn::liveEventHandlers();

        ComponentDescription unit_desc = {0x61756d66, 0x6c6f6f70, 0x5175696c, 0, 0};
        unit_component = RegisterComponent(&unit_desc, FakeUnitEntry, 0, nullptr, nullptr, nullptr);
        ComponentDescription view_desc = {kAudioUnitCarbonViewComponentType, 0x6c6f6f70, 0x5175696c, 0, 0};
        view_component = RegisterComponent(&view_desc, QuillomatAUViewEntry, 0, nullptr, nullptr, nullptr);
        Rect bounds = {0, 0, 400, 700};
        ASSERT_EQ(CreateNewWindow(kDocumentWindowClass, 0, &bounds, &window), noErr);
        ShowWindow(window);
    }

    void TearDown() override
    {
        close_view();
        DisposeWindow(window);
        UnregisterComponent(view_component);
        UnregisterComponent(unit_component);
        if (saved_home.empty()) unsetenv("HOME");
        else setenv("HOME", saved_home.c_str(), 1);
        fs::remove_all(top);
    }

    fs::path make_bundle(const std::string& name, bool executable = true, bool with_program = true)
    {
        fs::path bundle = top / name;
        fs::create_directories(bundle / "Contents" / "MacOS");
        if (with_program) {
            fs::copy_file(FAKE_QMGUI, bundle / "Contents/MacOS/qmgui");
            fs::permissions(bundle / "Contents/MacOS/qmgui",
                            executable ? fs::perms::owner_all : fs::perms::owner_read | fs::perms::owner_write);
        }
        return bundle;
    }

    void write_user_file(const std::string& text)
    {
        fs::create_directories(home / ".quillomat");
        std::ofstream(home / ".quillomat/default_app_path", std::ios::binary) << text;
    }
    std::string user_file() const { return slurp(home / ".quillomat/default_app_path"); }

    // Opens the unit (with g_unit as it stands) and its view at the offsets.
    void open_view(float x = 0, float y = 0)
    {
        ASSERT_EQ(OpenAComponent(unit_component, &unit), noErr);
        ASSERT_EQ(OpenAComponent(view_component, &view), noErr);
        ControlRef root = nullptr, pane = nullptr;
        GetRootControl(window, &root);
        const Float32Point location = {x, y}, size = {600, 300};
        ASSERT_EQ(AudioUnitCarbonViewCreate(view, unit, window, root, &location, &size, &pane), noErr);
        ASSERT_NE(pane, nullptr);
        ASSERT_EQ(controls().size(), 6u);
    }

    void close_view()
    {
        if (view) CloseComponent(view);
        if (unit) CloseComponent(unit);
        view = nullptr;
        unit = nullptr;
    }

    // The pane, then its controls: port, label, path, Browse.., Start GUI.
    std::vector<CarbonStandIn::Control> controls() const { return CarbonStandIn::controls(window); }
    CarbonStandIn::Control path_text() const { return controls().at(3); }
    OSStatus press(size_t index) { return CarbonStandIn::pressButton(controls().at(index).ref); }
    OSStatus browse(const CarbonStandIn::ChooserAnswer& answer)
    {
        CarbonStandIn::answerChooser(answer);
        return press(4);
    }

    bool child_started() { return pump_until([this] { return fs::file_size(out / "pid", ec) > 0 && !ec; }); }
    int launches()
    {
        pump_for(0.1);
        std::string s = slurp(out / "launches");
        return s == "<none>" ? 0 : (int)std::count(s.begin(), s.end(), '\n');
    }
    std::vector<std::string> alerts() const
    {
        std::vector<std::string> m;
        for (const auto& a : AppKitStandIn::recordedAlerts()) {
            EXPECT_EQ(a.title, kAlertTitle);
            m.push_back(a.message);
        }
        return m;
    }
    // Nothing but the path file in the per-user folder: no temporary left over.
    std::vector<std::string> user_dir() const
    {
        std::vector<std::string> names;
        if (fs::exists(home / ".quillomat"))
            for (const auto& e : fs::directory_iterator(home / ".quillomat")) names.push_back(e.path().filename());
        return names;
    }

    fs::path top, home, out, good;
    std::string saved_home;
    Component unit_component = nullptr, view_component = nullptr;
    AudioUnit unit = nullptr;
    ComponentInstance view = nullptr;
    WindowRef window = nullptr;
    int handlers_before = 0;
    std::error_code ec;
};

TEST_F(ViewTest, RowsSitAtTheirOffsetsFromTheOrigin)
{
    write_user_file(good.string() + "\n");
    struct Expected {
        CarbonStandIn::Kind kind;
        std::string text;
        Box box;
        SInt16 just;
        UInt32 command;
    };
    const std::vector<Expected> rows = {
        {CarbonStandIn::Kind::StaticText, "Quillomat OSC server port is: 10051", {10, 10, 26, 230}, teFlushLeft, 0},
        {CarbonStandIn::Kind::StaticText, "GUI Path: ", {34, 10, 50, 90}, teFlushRight, 0},
        {CarbonStandIn::Kind::StaticText, good.string(), {34, 94, 50, 354}, teFlushLeft, 0},
        {CarbonStandIn::Kind::PushButton, "Browse..", {34, 362, 50, 462}, teCenter, 0x42727773},
        {CarbonStandIn::Kind::PushButton, "Start GUI", {58, 100, 74, 320}, teCenter, kStart},
    };
    // Fractions of the origin are dropped.
    for (auto [x, y] : {std::pair<float, float>{0, 0}, {13.7f, 27.2f}}) {
        SCOPED_TRACE(testing::Message() << "origin " << x << ", " << y);
        const int ox = (int)x, oy = (int)y;
        open_view(x, y);
        auto all = controls();
        const auto& pane = all[0];
        EXPECT_EQ(pane.kind, CarbonStandIn::Kind::UserPane);
        EXPECT_EQ((Box{pane.bounds.top - oy, pane.bounds.left - ox, pane.bounds.bottom - oy,
                       pane.bounds.right - ox}),
                  (Box{0, 0, 74 + 8, 462 + 8}));
        for (size_t i = 0; i < rows.size(); ++i) {
            const auto& c = all[i + 1];
            const Expected& e = rows[i];
            SCOPED_TRACE(e.text);
            EXPECT_EQ(c.kind, e.kind);
            EXPECT_EQ(c.text, e.text);
            EXPECT_EQ(c.drawnText, e.text);
            EXPECT_EQ(c.parent, pane.ref);
            EXPECT_EQ((Box{c.bounds.top - oy, c.bounds.left - ox, c.bounds.bottom - oy, c.bounds.right - ox}), e.box);
            EXPECT_EQ(c.commandID, e.command);
            ASSERT_TRUE(c.styled);
            EXPECT_EQ(c.style.flags, kControlUseFontMask | kControlUseJustMask);
            EXPECT_EQ(c.style.font, kControlFontSmallSystemFont);
            EXPECT_EQ(c.style.just, e.just);
        }
        auto* v = reinterpret_cast<QuillomatAUView*>(GetComponentInstanceStorage(view));
        EXPECT_FLOAT_EQ(v->GetNotificationInterval(), 0.1f);
        ASSERT_TRUE(child_started());
        const pid_t pid = (pid_t)std::stol(slurp(out / "pid"));

        // Closing the editor ends the GUI and leaves nothing in the window.
        close_view();
        EXPECT_EQ(kill(pid, 0), -1);
        EXPECT_EQ(errno, ESRCH);
        EXPECT_TRUE(controls().empty());
        EXPECT_EQ(CarbonStandIn::liveEventHandlers(), handlers_before);
        EXPECT_EQ(CarbonStandIn::sendCommand(window, kStart), eventNotHandledErr);
        fs::remove(out / "pid");
    }
    EXPECT_EQ(launches(), 2);
}

TEST_F(ViewTest, LongPathsAreShortenedByCharactersNotBytes)
{
    // A path given as its characters.
    auto join = [](const std::vector<std::string>& chars, size_t from, size_t to) {
        std::string s;
        for (size_t i = from; i < to; ++i) s += chars[i];
        return s;
    };
    auto path_of = [](size_t n, const std::vector<std::pair<size_t, std::string>>& wide) {
        std::vector<std::string> chars(n, "a");
        chars[0] = "/";
        for (const auto& [at, c] : wide) chars[at] = c;
        return chars;
    };
    struct Case {
        const char* what;
        std::vector<std::string> chars;
        bool whole;
    };
    const Case cases[] = {
        {"40 characters", path_of(40, {}), true},
        {"41 characters", path_of(41, {}), false},
        {"40 characters, more bytes", path_of(40, {{5, "\xc3\xbc"}, {19, "\xe2\x82\xac"}, {39, "\xf0\x9f\x8e\xb8"}}),
         true},
        // Two- to four-byte characters on both sides of both cuts.
        {"41 characters, wide at the cuts",
         path_of(41, {{19, "\xc3\xbc"}, {20, "\xe2\x82\xac"}, {21, "\xf0\x9f\x8e\xb8"}, {22, "\xc3\xa9"},
                      {40, "\xc3\xbc"}}),
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_unit.path = join(c.chars, 0, c.chars.size());
        open_view();
        const std::string expected =
            c.whole ? g_unit.path : join(c.chars, 0, 20) + " ... " + join(c.chars, c.chars.size() - 19, c.chars.size());
        EXPECT_EQ(path_text().text, expected);
        close_view();
    }
}

TEST_F(ViewTest, PathComesFromThePropertyThenTheUserFileThenTheDefault)
{
    const std::string none = "<none>";
    struct Case {
        const char* what;
        PathProperty mode;
        std::string property;
        std::string file; // none: no file
        bool home;
        std::string expected;
    };
    const Case cases[] = {
        {"property first", PathProperty::Plain, "/prop/A.app", "/file/B.app\n", true, "/prop/A.app"},
        {"first line of the file", PathProperty::Plain, "", "/file/B.app\n/file/C.app\n", true, "/file/B.app"},
        {"file without newline", PathProperty::Plain, "", "/file/B.app", true, "/file/B.app"},
        {"no file", PathProperty::Plain, "", none, true, kDefaultPath},
        {"empty file", PathProperty::Plain, "", "", true, kDefaultPath},
        {"empty first line", PathProperty::Plain, "", "\n/file/B.app\n", true, kDefaultPath},
        {"no HOME", PathProperty::Plain, "", "/file/B.app\n", false, kDefaultPath},
        {"no property", PathProperty::Missing, "/prop/A.app", "/file/B.app\n", true, "/file/B.app"},
        {"property of size 0", PathProperty::SizeZero, "/prop/A.app", "/file/B.app\n", true, "/file/B.app"},
        {"property that cannot be read", PathProperty::Unreadable, "/prop/A.app", "/file/B.app\n", true,
         "/file/B.app"},
        {"property of absurd size", PathProperty::HugeSize, "/prop/A.app", "/file/B.app\n", true, "/file/B.app"},
        {"property without its NUL", PathProperty::Unterminated, "/prop/U.app", "/file/B.app\n", true,
         "/prop/U.app"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        AppKitStandIn::clearRecordedAlerts();
        fs::remove_all(home / ".quillomat");
        if (c.file != none) write_user_file(c.file);
        g_unit.mode = c.mode;
        g_unit.path = c.property;
        if (!c.home) unsetenv("HOME");
        open_view();
        setenv("HOME", home.c_str(), 1);
        EXPECT_EQ(path_text().text, c.expected);
        // None of these exists: the launcher names the program it tried.
        auto messages = alerts();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_NE(messages[0].find(c.expected + "/Contents/MacOS/qmgui"), std::string::npos) << messages[0];
        EXPECT_EQ(user_file(), c.file);
        close_view();
    }
}

TEST_F(ViewTest, GuiGetsHostAndPortAndItsPathIsRememberedOnceStarted)
{
    for (PathProperty mode : {PathProperty::Plain, PathProperty::ReadOnly}) {
        SCOPED_TRACE(mode == PathProperty::Plain ? "writable property" : "read-only property");
        g_unit = UnitScript{};
        g_unit.mode = mode;
        fs::remove(out / "pid");
        fs::remove(out / "launches");
        // A file of two names is written in place: both show the new text.
        write_user_file(good.string() + "\nold text\n");
        fs::remove(top / "keep");
        fs::create_hard_link(home / ".quillomat/default_app_path", top / "keep");

        open_view();
        ASSERT_TRUE(child_started());
        EXPECT_EQ(slurp(out / "args"), gui_args("localhost"));
        EXPECT_EQ(user_file(), good.string() + "\n");
        EXPECT_EQ(slurp(top / "keep"), good.string() + "\n");
        EXPECT_EQ(user_dir(), std::vector<std::string>{"default_app_path"});
        EXPECT_EQ(g_unit.sets, mode == PathProperty::Plain ? 1 : 0);
        if (mode == PathProperty::Plain) {
            EXPECT_EQ(g_unit.path, good.string());
        }

        // Start GUI while it runs: taken, and nothing starts.
        EXPECT_EQ(press(5), noErr);
        EXPECT_EQ(CarbonStandIn::sendCommand(window, kStart), noErr);
        EXPECT_EQ(CarbonStandIn::sendCommand(window, 0x61626364 /* 'abcd' */), eventNotHandledErr);
        EXPECT_EQ(launches(), 1);
        EXPECT_TRUE(AppKitStandIn::recordedAlerts().empty());
        close_view();
    }
}

TEST_F(ViewTest, GuiIsToldTheAddressTheServerListensOn)
{
    const std::string outside = qmtest::outside_address();
    struct Row {
        const char* env;
        std::string host;
    };
    const Row rows[] = {
        {nullptr, "localhost"},
        {"127.0.0.1", "localhost"},
        {"0.0.0.0", "localhost"},       // every interface, loopback too
        {"224.0.0.1", "localhost"},     // refused: the server stays on loopback
        {"127.255.255.255", "localhost"},
        {outside.empty() ? nullptr : outside.c_str(), outside.empty() ? "localhost" : outside},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.env ? r.env : "(unset)");
        r.env ? setenv("QM_OSC_ADDRESS", r.env, 1) : unsetenv("QM_OSC_ADDRESS");
        fs::remove(out / "pid");
        write_user_file(good.string() + "\n");
        open_view();
        unsetenv("QM_OSC_ADDRESS");
        ASSERT_TRUE(child_started());
        EXPECT_EQ(slurp(out / "args"), gui_args(r.host));
        close_view();
    }
}

TEST_F(ViewTest, ChosenPathIsShownAndOnlyTheNextSuccessfulStartRemembersIt)
{
    using Answer = CarbonStandIn::ChooserAnswer;
    write_user_file("/nowhere/Old.app\n");
    open_view();
    ASSERT_EQ(alerts().size(), 1u);
    const int draws = path_text().draws;

    // Cancelled, or the dialog could not run: nothing changes, nothing is left open.
    EXPECT_EQ(browse(Answer{Answer::Cancel, "", 0}), noErr);
    EXPECT_EQ(browse(Answer{Answer::RunFails, "", -5697}), noErr);
    EXPECT_EQ(path_text().text, "/nowhere/Old.app");
    EXPECT_EQ(CarbonStandIn::liveNavDialogs(), 0);
    EXPECT_EQ(CarbonStandIn::liveNavReplies(), 0);

    EXPECT_EQ(browse(Answer{Answer::Choose, good.string(), 0}), noErr);
    EXPECT_EQ(path_text().text, good.string());
    EXPECT_EQ(path_text().drawnText, good.string());
    EXPECT_EQ(path_text().draws, draws + 1);
    EXPECT_EQ(CarbonStandIn::liveNavDialogs(), 0);
    EXPECT_EQ(CarbonStandIn::liveNavReplies(), 0);
    auto choosers = CarbonStandIn::choosers();
    ASSERT_EQ(choosers.size(), 3u);
    for (const auto& c : choosers) {
        EXPECT_EQ(c.modality, (WindowModality)kWindowModalityAppModal);
        EXPECT_TRUE(c.optionFlags & kNavSupportPackages);
        EXPECT_FALSE(c.optionFlags & kNavAllowPreviews);
        EXPECT_EQ(c.message, "Select the appropriate Quillomat application.");
        EXPECT_EQ(c.clientName, "QMauView");
        EXPECT_FALSE(c.typeList || c.previewProc || c.filterProc);
    }
    // Chosen, not started, not remembered.
    EXPECT_EQ(launches(), 0);
    EXPECT_EQ(user_file(), "/nowhere/Old.app\n");
    EXPECT_EQ(g_unit.sets, 0);

    EXPECT_EQ(press(5), noErr);
    ASSERT_TRUE(child_started());
    EXPECT_EQ(user_file(), good.string() + "\n");
    EXPECT_EQ(g_unit.path, good.string());

    // Another choice while the GUI runs: Start GUI neither starts nor remembers it.
    fs::path other = make_bundle("Other.app", true, false);
    EXPECT_EQ(browse(Answer{Answer::Choose, other.string(), 0}), noErr);
    EXPECT_EQ(path_text().text, other.string());
    EXPECT_EQ(press(5), noErr);
    EXPECT_EQ(launches(), 1);
    EXPECT_EQ(user_file(), good.string() + "\n");
    EXPECT_EQ(g_unit.path, good.string());
    EXPECT_EQ(g_unit.sets, 1);
    EXPECT_EQ(alerts().size(), 1u);
}

TEST_F(ViewTest, GuiThatCannotRunGivesTheAlertAndNothingIsSaved)
{
    struct Case {
        const char* what;
        bool executable, with_program;
    };
    for (const Case& c : {Case{"no program in the bundle", true, false}, Case{"program not executable", false, true}}) {
        SCOPED_TRACE(c.what);
        AppKitStandIn::clearRecordedAlerts();
        fs::path bad = make_bundle(std::string(c.what) + ".app", c.executable, c.with_program);
        g_unit = UnitScript{};
        g_unit.path = bad.string();
        write_user_file("/previous/Path.app\n");

        open_view();
        EXPECT_EQ(press(5), noErr);
        auto messages = alerts();
        ASSERT_EQ(messages.size(), 2u);
        EXPECT_NE(messages[0].find(bad.string() + "/Contents/MacOS/qmgui"), std::string::npos) << messages[0];
        EXPECT_EQ(user_file(), "/previous/Path.app\n");
        EXPECT_EQ(user_dir(), std::vector<std::string>{"default_app_path"});
        EXPECT_EQ(g_unit.sets, 0);
        EXPECT_EQ(launches(), 0);
        close_view();
    }
}

} // namespace

namespace {

TEST_F(ViewTest, HostThatDisposesOfTheWindowFirstCanStillCloseTheView)
{
    write_user_file(good.string() + "\n");
    open_view();
    ASSERT_TRUE(child_started());
    const pid_t pid = (pid_t)std::stol(slurp(out / "pid"));
    DisposeWindow(window);
    window = nullptr;
    EXPECT_EQ(CarbonStandIn::liveEventHandlers(), handlers_before);
    close_view();
    EXPECT_EQ(kill(pid, 0), -1);
}

} // namespace
