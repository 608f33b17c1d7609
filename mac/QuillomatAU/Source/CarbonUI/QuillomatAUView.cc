#include "QuillomatAUView.h"

#include <QuillomatAUShared.h>

#include "launch_qmgui.h"

#include <kvo/file_guard.h>

#include <control_osc_address.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <vector>

COMPONENT_ENTRY(QuillomatAUView)

namespace {

const UInt32 kBrowseCommand = 0x42727773; // 'Brws'
const UInt32 kStartCommand = 0x53747274;  // 'Strt'

const char* const kDefaultAppPath = "/Applications/Quillomat.app";
const char* const kAppExecutable = "/Contents/MacOS/qmgui";
const char* const kUserDir = "/.quillomat";
const char* const kUserPathFile = "/.quillomat/default_app_path";
// The engine's OSC server runs in this process: on loopback (or on every
// interface) the GUI reaches it by this name.
const char* const kLoopbackHost = "localhost";

const size_t kShortenAbove = 40, kShownHead = 20, kShownTail = 19;
const SInt16 kRowHeight = 16;
// Anything longer is not a path.
const UInt32 kMaxPropertySize = 65536;
const size_t kMaxFileLine = 4096;

// Counted in characters, so a cut never falls inside a UTF-8 sequence.
std::string shortened(const std::string& path)
{
    std::vector<size_t> starts;
    for (size_t i = 0; i < path.size(); ++i)
        if (i == 0 || (static_cast<unsigned char>(path[i]) & 0xC0) != 0x80) starts.push_back(i);
    if (starts.size() <= kShortenAbove) return path;
    return path.substr(0, starts[kShownHead]) + " ... " + path.substr(starts[starts.size() - kShownTail]);
}

// Owned by the caller. Bytes that are not UTF-8 are shown as Latin-1.
CFStringRef make_text(const std::string& s)
{
    CFStringRef text = CFStringCreateWithCString(kCFAllocatorDefault, s.c_str(), kCFStringEncodingUTF8);
    return text ? text : CFStringCreateWithCString(kCFAllocatorDefault, s.c_str(), kCFStringEncodingISOLatin1);
}

std::string home_dir()
{
    const char* home = std::getenv("HOME");
    return home ? home : "";
}

int osc_port(AudioUnit unit)
{
    AudioUnitParameterValue value = 0;
    if (AudioUnitGetParameter(unit, kQuillomatOSCPortParameter, kAudioUnitScope_Global, 0, &value) != noErr) return 0;
    return value >= 0.0f && value < 1e9f ? (int)value : 0;
}

// Empty when the unit has no readable path. The value need not end in a NUL.
std::string property_path(AudioUnit unit)
{
    UInt32 size = 0;
    if (AudioUnitGetPropertyInfo(unit, kQuillomatAppPathProperty, kAudioUnitScope_Global, 0, &size, nullptr) != noErr ||
        size > kMaxPropertySize)
        return "";
    std::vector<char> buf((size_t)size + 1, '\0');
    UInt32 got = size;
    if (AudioUnitGetProperty(unit, kQuillomatAppPathProperty, kAudioUnitScope_Global, 0, buf.data(), &got) != noErr)
        return "";
    buf[std::min(got, size)] = '\0';
    return buf.data();
}

std::string user_file_path()
{
    const std::string home = home_dir();
    if (home.empty()) return "";
    std::ifstream f(home + kUserPathFile);
    std::string line;
    if (!f || !std::getline(f, line) || line.size() > kMaxFileLine) return "";
    return line;
}

// Replaced whole or not at all: a crash or a full disk leaves the previous
// path, never part of the new one.
void write_user_file(const std::string& home, const std::string& path)
{
    // Would read back as another path.
    if (path.find('\n') != std::string::npos) return;
    const std::string dir = home + kUserDir;
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return;
    const std::string text = path + "\n";
    Kvo::FileSave save(home + kUserPathFile);
    if (save.ok() && save.write(text.data(), text.size())) save.commit();
}

// Where the GUI reaches the server: the one address it listens on, or
// loopback.
std::string gui_host()
{
    const in_addr at = Quillomat::osc_listen_address(false);
    if (at.s_addr == htonl(INADDR_LOOPBACK) || at.s_addr == htonl(INADDR_ANY)) return kLoopbackHost;
    char text[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &at, text, sizeof text) ? text : kLoopbackHost;
}

Rect row(int top, int left, int width)
{
    return Rect{(SInt16)top, (SInt16)left, (SInt16)(top + kRowHeight), (SInt16)(left + width)};
}

} // namespace

QuillomatAUView::QuillomatAUView(ComponentInstance inInstance) : AUCarbonViewBase(inInstance, 0.1f) {}

QuillomatAUView::~QuillomatAUView()
{
    if (_winHandler) RemoveEventHandler(_winHandler);
    if (_launcher) {
        _launcher->terminate();
        delete _launcher;
    }
}

OSStatus QuillomatAUView::CreateUI(Float32 xoffset, Float32 yoffset)
{
    init_app_path();
    const int x = (int)xoffset, y = (int)yoffset;
    WindowRef window = GetCarbonWindow();

    char line[255];
    std::snprintf(line, sizeof line, "Quillomat OSC server port is: %d", osc_port(GetEditAudioUnit()));

    ControlFontStyleRec style = {};
    style.flags = kControlUseFontMask | kControlUseJustMask;
    style.font = kControlFontSmallSystemFont;

    OSStatus err = noErr;
    auto text = [&](const Rect& r, const std::string& s, SInt16 just, ControlRef* out) {
        style.just = just;
        CFStringRef cf = make_text(s);
        if (err == noErr) err = CreateStaticTextControl(window, &r, cf, &style, out);
        if (cf) CFRelease(cf);
        if (err == noErr) err = EmbedControl(*out);
    };
    auto button = [&](const Rect& r, CFStringRef title, UInt32 command, ControlRef* out) {
        style.just = teCenter;
        if (err == noErr) err = CreatePushButtonControl(window, &r, title, out);
        if (err == noErr) err = SetControlFontStyle(*out, &style);
        if (err == noErr) err = SetControlCommandID(*out, command);
        if (err == noErr) err = EmbedControl(*out);
    };

    ControlRef portText = nullptr, label = nullptr;
    text(row(y + 10, x + 10, 220), line, teFlushLeft, &portText);

    Rect r = row(y + 34, x + 10, 80);
    text(r, "GUI Path: ", teFlushRight, &label);
    r = row(y + 34, r.right + 4, 260);
    text(r, shortened(_qmapp_path), teFlushLeft, &_pathText);
    button(row(y + 34, r.right + 8, 100), CFSTR("Browse.."), kBrowseCommand, &_browseButton);

    button(row(y + 58, x + 100, 220), CFSTR("Start GUI"), kStartCommand, &_startGuiButton);
    if (err != noErr) return err;

    const EventTypeSpec commands[] = {{kEventClassCommand, kEventCommandProcess}};
    err = InstallEventHandler(GetWindowEventTarget(window), NewEventHandlerUPP(winEventHandler), 1, commands, this,
                              &_winHandler);
    if (err != noErr) return err;

    Rect pane;
    GetControlBounds(GetCarbonPane(), &pane);
    SizeControl(GetCarbonPane(), (SInt16)(mBottomRight.h + 8 - pane.left), (SInt16)(mBottomRight.v + 8 - pane.top));

    create_qmgui();
    return noErr;
}

bool QuillomatAUView::HandleEvent(EventRef event) { return AUCarbonViewBase::HandleEvent(event); }

void QuillomatAUView::init_app_path()
{
    std::string path = property_path(GetEditAudioUnit());
    if (path.empty()) path = user_file_path();
    _qmapp_path = path.empty() ? kDefaultAppPath : path;
}

void QuillomatAUView::create_qmgui()
{
    // Already running: a path chosen since waits for the next start, and is
    // not remembered before it has started.
    if (_launcher && _launcher->isRunning()) return;

    char port[16];
    std::snprintf(port, sizeof port, "%d", osc_port(GetEditAudioUnit()));
    const std::string command = _qmapp_path + kAppExecutable;
    std::vector<std::string> args{"-H", gui_host(), "-P", port, "-N"};
    if (!_launcher) {
        _launcher = new LaunchQMgui(command, std::move(args));
    } else {
        _launcher->set_path(command);
        _launcher->set_args(std::move(args));
    }
    _launcher->launch();
    if (_launcher->isRunning()) set_app_path_property(_qmapp_path);
}

void QuillomatAUView::set_app_path_property(std::string path)
{
    AudioUnit unit = GetEditAudioUnit();
    UInt32 size = 0;
    Boolean writable = false;
    if (AudioUnitGetPropertyInfo(unit, kQuillomatAppPathProperty, kAudioUnitScope_Global, 0, &size, &writable) ==
            noErr &&
        writable)
        AudioUnitSetProperty(unit, kQuillomatAppPathProperty, kAudioUnitScope_Global, 0, path.c_str(),
                             (UInt32)path.size() + 1);

    const std::string home = home_dir();
    if (!home.empty()) write_user_file(home, path);
}

OSStatus QuillomatAUView::winEventHandler(EventHandlerCallRef, EventRef event, void* view)
{
    HICommand command;
    if (GetEventParameter(event, kEventParamDirectObject, typeHICommand, nullptr, sizeof command, nullptr,
                          &command) != noErr)
        return eventNotHandledErr;
    QuillomatAUView* self = static_cast<QuillomatAUView*>(view);
    switch (command.commandID) {
    case kBrowseCommand:
        self->DisplayOpenFileDialog();
        return noErr;
    case kStartCommand:
        self->create_qmgui();
        return noErr;
    default:
        return eventNotHandledErr;
    }
}

bool QuillomatAUView::DisplayOpenFileDialog()
{
    NavDialogCreationOptions options;
    NavGetDefaultDialogCreationOptions(&options);
    options.modality = kWindowModalityAppModal;
    options.optionFlags |= kNavSupportPackages;
    options.optionFlags &= ~kNavAllowPreviews;
    options.message = CFSTR("Select the appropriate Quillomat application.");
    options.clientName = CFSTR("QMauView");

    NavEventUPP callback = NewNavEventUPP(NavEventCallback);
    NavDialogRef dialog = nullptr;
    if (NavCreateChooseFileDialog(&options, nullptr, callback, nullptr, nullptr, this, &dialog) != noErr) {
        DisposeNavEventUPP(callback);
        return true;
    }
    if (NavDialogRun(dialog) != noErr) {
        NavDialogDispose(dialog);
        DisposeNavEventUPP(callback);
    }
    return true;
}

void QuillomatAUView::NavEventCallback(NavEventCallbackMessage message, NavCBRecPtr params, void* view)
{
    QuillomatAUView* self = static_cast<QuillomatAUView*>(view);
    if (message == kNavCBTerminate) {
        NavDialogDispose(params->context);
        DisposeNavEventUPP(NavEventCallback);
        return;
    }
    if (message != kNavCBUserAction) return;

    NavReplyRecord reply;
    if (NavDialogGetReply(params->context, &reply) != noErr) return;
    FSRef ref;
    if (NavDialogGetUserAction(params->context) == kNavUserActionChoose && reply.validRecord &&
        AEGetNthPtr(&reply.selection, 1, typeFSRef, nullptr, nullptr, &ref, sizeof ref, nullptr) == noErr) {
        CFURLRef url = CFURLCreateFromFSRef(kCFAllocatorDefault, &ref);
        CFStringRef path = url ? CFURLCopyFileSystemPath(url, kCFURLPOSIXPathStyle) : nullptr;
        char buf[500];
        if (path && CFStringGetCString(path, buf, sizeof buf, kCFStringEncodingUTF8)) {
            // Started and remembered by the next Start GUI, not here.
            self->_qmapp_path = buf;
            self->show_path();
        }
        if (path) CFRelease(path);
        if (url) CFRelease(url);
    }
    NavDisposeReply(&reply);
}

void QuillomatAUView::show_path()
{
    CFStringRef text = make_text(shortened(_qmapp_path));
    SetControlData(_pathText, kControlEntireControl, kControlStaticTextCFStringTag, sizeof text, &text);
    if (text) CFRelease(text);
    Draw1Control(_pathText);
}
