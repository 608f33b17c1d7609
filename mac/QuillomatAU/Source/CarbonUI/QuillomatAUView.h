#pragma once
// The plug-in's editor view: shows the engine's OSC port and the GUI
// application's path, lets the user choose the application, and starts it on
// that port. It reaches its unit only through parameter 0 and the GUI path
// property. Everything runs on the host's main thread.
#include <AUCarbonViewBase/AUCarbonViewBase.h>
#include <Carbon/Carbon.h>

#include <string>

class LaunchQMgui;

class QuillomatAUView : public AUCarbonViewBase {
public:
    explicit QuillomatAUView(ComponentInstance inInstance);
    // Ends the GUI application.
    ~QuillomatAUView() override;

    // Builds the controls and starts the GUI application.
    OSStatus CreateUI(Float32 xoffset, Float32 yoffset) override;
    bool HandleEvent(EventRef event) override;

    // The window's Browse and Start GUI commands.
    static OSStatus winEventHandler(EventHandlerCallRef handler, EventRef event, void* view);
    static void NavEventCallback(NavEventCallbackMessage message, NavCBRecPtr params, void* view);

private:
    void init_app_path();
    void set_app_path_property(std::string path);
    void create_qmgui();
    bool DisplayOpenFileDialog();
    void show_path();

    ControlRef _startGuiButton = nullptr;
    ControlRef _browseButton = nullptr;
    ControlRef _pathText = nullptr;
    EventHandlerRef _winHandler = nullptr;
    LaunchQMgui* _launcher = nullptr;
    std::string _qmapp_path;
};
