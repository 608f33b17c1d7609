#include "launch_qmgui.h"

#include "LaunchQMguiCocoa.h"

LaunchQMgui::LaunchQMgui(std::string cmdpath, std::vector<std::string> args)
    : launcher(LaunchQMguiCocoa::alloc()->init()), _cmdpath(std::move(cmdpath)), _args(std::move(args))
{
}

LaunchQMgui::~LaunchQMgui()
{
    if (launcher) {
        launcher->release();
    }
}

bool LaunchQMgui::launch()
{
    if (!launcher) {
        return false;
    }
    NSMutableArray* words = NSMutableArray::alloc()->init();
    auto add = [words](const std::string& word) {
        NSString* s = NSString::alloc()->initWithUTF8String(word.c_str());
        words->addObject(s);
        s->release();
    };
    add(_cmdpath);
    for (const std::string& arg : _args) {
        add(arg);
    }
    launcher->runGui(words);
    words->release();
    return true;
}

bool LaunchQMgui::isRunning() const
{
    return launcher && launcher->isRunning();
}

void LaunchQMgui::terminate()
{
    if (launcher) {
        launcher->terminate();
    }
}
