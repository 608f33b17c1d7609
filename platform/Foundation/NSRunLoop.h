#pragma once
#include <cstdint>
#include <vector>

#include <Foundation/NSObject.h>

#pragma GCC visibility push(default)

class NSString;
class NSDate;
class NSFileHandle;

extern NSString* const NSDefaultRunLoopMode;

// One per thread. Its input sources are the file handles that asked for a
// background read on this thread; the thread (the host's main thread, or a
// test) pumps it, and each completed read posts its notification here.
// Sources are added and cancelled on the loop's own thread. Modes are not
// told apart.
class NSRunLoop : public NSObject {
public:
    static NSRunLoop* currentRunLoop();

    // Waits until at least one source has fired or limitDate has passed
    // (nullptr: no limit), fires what is ready and returns YES; returns NO at
    // once when the loop has no sources.
    BOOL runMode(NSString* mode, NSDate* limitDate);

protected:
    NSRunLoop() = default;
    ~NSRunLoop() override;

private:
    friend class NSFileHandle;
    friend struct RunLoopHolder;

    struct Source {
        uint64_t id;
        NSFileHandle* handle; // retained while waiting
    };
    void addReadSource(NSFileHandle* handle);
    void cancelReadSource(NSFileHandle* handle);

    std::vector<Source> _sources;
    uint64_t _next_id = 1;
};

#pragma GCC visibility pop
