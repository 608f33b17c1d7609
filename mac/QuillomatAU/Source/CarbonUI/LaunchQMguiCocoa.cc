#include "LaunchQMguiCocoa.h"

LaunchQMguiCocoa* LaunchQMguiCocoa::init()
{
    running = NO;
    gui_task = nullptr;
    return this;
}

void LaunchQMguiCocoa::runGui(NSArray* arguments)
{
    if (running) {
        return;
    }
    if (gui_task) {
        gui_task->release();
    }
    gui_task = TaskWrapper::alloc()->initWithController(this, arguments);
    gui_task->startProcess();
}

void LaunchQMguiCocoa::terminate()
{
    if (running && gui_task) {
        gui_task->stopProcess();
        gui_task->release();
        gui_task = nullptr;
    }
}

// The GUI's messages are of no use to the host.
void LaunchQMguiCocoa::appendOutput(NSString*) {}

void LaunchQMguiCocoa::dealloc()
{
    if (gui_task) {
        gui_task->stopProcess();
        gui_task->release();
        gui_task = nullptr;
    }
    NSObject::dealloc();
}
