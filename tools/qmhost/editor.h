#pragma once
// Opens a unit's Carbon editor view in a window of its own, as a host does:
// headless (the window is a stand-in), and with the main thread's run loop
// pumped between render calls so what the view started (the GUI application
// and its output) is looked after.
#include <AudioUnit/AudioUnit.h>
#include <AudioUnit/AudioUnitCarbonView.h>

#include <string>

namespace qmhost {

class EditorWindow {
public:
    EditorWindow() {}
    ~EditorWindow() { close(); }
    EditorWindow(const EditorWindow&) = delete;
    EditorWindow& operator=(const EditorWindow&) = delete;

    // The view's entry point is looked up in the plug-in's library. False
    // with a one-line reason.
    bool open(void* library, const std::string& entry, AudioUnit unit, std::string& error);
    bool is_open() const { return _view != nullptr; }
    // One line per control: its kind and its text.
    std::string describe() const;
    // Runs the main thread's run loop for up to `seconds` (0: only what is
    // ready); sleeps instead when nothing waits on it.
    void pump(double seconds);
    // Closes the view (which ends what it started), then the window.
    void close();

private:
    Component _component = nullptr;
    AudioUnitCarbonView _view = nullptr;
    WindowRef _window = nullptr;
};

} // namespace qmhost
