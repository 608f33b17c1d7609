#pragma once
// Starts the GUI application as a child of the host, tells whether it still
// runs, and stops it. Everything here runs on the host's main thread, whose
// run loop delivers the child's output.
#include <string>
#include <vector>

class LaunchQMguiCocoa;

class LaunchQMgui {
public:
    LaunchQMgui(std::string cmdpath, std::vector<std::string> args);
    virtual ~LaunchQMgui();

    LaunchQMgui(const LaunchQMgui&) = delete;
    LaunchQMgui& operator=(const LaunchQMgui&) = delete;

    // True once the start was asked for, whether or not the child started
    // (a failure shows an alert); isRunning() tells the outcome. Does nothing
    // while the child runs.
    bool launch();
    bool isRunning() const;
    // Stops a running child; returns within a few seconds even when the
    // child ignores the request.
    void terminate();

    void set_path(std::string path) { _cmdpath = std::move(path); }
    void set_args(std::vector<std::string> args) { _args = std::move(args); }

private:
    LaunchQMguiCocoa* launcher;
    std::string _cmdpath;
    std::vector<std::string> _args;
};
