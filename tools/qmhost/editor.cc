#include "editor.h"

#include <Carbon/StandIn.h>
#include <Foundation/Foundation.h>

#include <dlfcn.h>
#include <unistd.h>

#include <cstring>

#include "host.h"

namespace qmhost {
namespace {

// The view a unit names when it does not say.
const ComponentDescription kDefaultView = {kAudioUnitCarbonViewComponentType, 0x6c6f6f70 /* 'loop' */,
                                           0x5175696c /* 'Quil' */, 0, 0};
const Rect kWindowBounds = {100, 100, 400, 700};

} // namespace

bool EditorWindow::open(void* library, const std::string& entry, AudioUnit unit, std::string& error)
{
    void* sym = library ? dlsym(library, entry.c_str()) : nullptr;
    if (!sym) {
        error = "the plug-in has no editor view entry point " + entry;
        return false;
    }
    ComponentDescription desc = kDefaultView;
    UInt32 size = 0;
    if (AudioUnitGetPropertyInfo(unit, kAudioUnitProperty_GetUIComponentList, kAudioUnitScope_Global, 0, &size,
                                 nullptr) == noErr &&
        size >= sizeof desc) {
        std::string list(size, '\0');
        if (AudioUnitGetProperty(unit, kAudioUnitProperty_GetUIComponentList, kAudioUnitScope_Global, 0, &list[0],
                                 &size) == noErr &&
            size >= sizeof desc)
            std::memcpy(&desc, list.data(), sizeof desc);
    }
    OSErr err = open_entry(sym, desc, _component, _view);
    if (err != noErr) {
        error = "the editor view could not be opened: " + status_text(err);
        close();
        return false;
    }

    CreateNewWindow(kDocumentWindowClass, kWindowStandardHandlerAttribute, &kWindowBounds, &_window);
    ShowWindow(_window);
    ControlRef root = nullptr, pane = nullptr;
    GetRootControl(_window, &root);
    const Float32Point location = {0, 0};
    const Float32Point size_hint = {(Float32)(kWindowBounds.right - kWindowBounds.left),
                                    (Float32)(kWindowBounds.bottom - kWindowBounds.top)};
    OSStatus status = AudioUnitCarbonViewCreate(_view, unit, _window, root, &location, &size_hint, &pane);
    if (status != noErr) {
        error = "the editor view could not be built: " + status_text(status);
        close();
        return false;
    }
    return true;
}

std::string EditorWindow::describe() const
{
    std::string out;
    for (const CarbonStandIn::Control& c : CarbonStandIn::controls(_window)) {
        const char* kind = c.kind == CarbonStandIn::Kind::PushButton   ? "button"
                           : c.kind == CarbonStandIn::Kind::StaticText ? "text"
                                                                        : nullptr;
        if (kind) out += std::string(kind) + " \"" + c.text + "\"\n";
    }
    return out;
}

void EditorWindow::pump(double seconds)
{
    NSDate* limit = NSDate::alloc()->initWithTimeIntervalSinceNow(seconds > 0 ? seconds : 0);
    if (!NSRunLoop::currentRunLoop()->runMode(NSDefaultRunLoopMode, limit) && seconds > 0)
        usleep((useconds_t)(seconds * 1e6));
    limit->release();
}

void EditorWindow::close()
{
    if (_view) CloseComponent(_view);
    if (_window) DisposeWindow(_window);
    if (_component) UnregisterComponent(_component);
    _view = nullptr;
    _window = nullptr;
    _component = nullptr;
}

} // namespace qmhost
