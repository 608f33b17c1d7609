#pragma once
#include <Foundation/Foundation.h>

#include "TaskWrapper.h"

// Keeps the running state of the one GUI child.
class LaunchQMguiCocoa : public NSObject, public TaskWrapperController {
public:
    static LaunchQMguiCocoa* alloc() { return new LaunchQMguiCocoa(); }
    LaunchQMguiCocoa* init();

    // arguments: the executable's path first. Does nothing while running.
    void runGui(NSArray* arguments);
    void terminate();
    BOOL isRunning() const { return running; }

    void appendOutput(NSString* output) override;
    void processStarted() override { running = YES; }
    void processFinished() override { running = NO; }

protected:
    LaunchQMguiCocoa() : running(NO), gui_task(nullptr) {}
    void dealloc() override;

private:
    BOOL running;
    TaskWrapper* gui_task;
};
