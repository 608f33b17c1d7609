#pragma once
// The host's main thread in the editor's tests: its run loop, where the GUI
// child's output and its end arrive, pumped while a test waits.
#include <Foundation/Foundation.h>
#include <unistd.h>

#include <chrono>
#include <functional>

namespace qmtest {

inline double seconds_since(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// False when `done` still does not hold after `seconds`.
inline bool pump_until(const std::function<bool()>& done, double seconds = 15)
{
    const auto start = std::chrono::steady_clock::now();
    while (!done()) {
        if (seconds_since(start) > seconds) return false;
        NSDate* limit = NSDate::alloc()->initWithTimeIntervalSinceNow(0.02);
        if (!NSRunLoop::currentRunLoop()->runMode(NSDefaultRunLoopMode, limit)) usleep(10000);
        limit->release();
    }
    return true;
}

inline void pump_for(double seconds)
{
    pump_until([] { return false; }, seconds);
}

} // namespace qmtest
