#pragma once
#include <chrono>

#include <Foundation/NSObject.h>

#pragma GCC visibility push(default)

// A point in time; measured on the monotonic clock so the run loop's limits
// do not jump with the wall clock.
class NSDate : public NSObject {
public:
    static NSDate* alloc() { return new NSDate(); }
    NSDate* initWithTimeIntervalSinceNow(NSTimeInterval seconds);

    NSTimeInterval timeIntervalSinceNow() const;

protected:
    NSDate() = default;

private:
    std::chrono::steady_clock::time_point _when;
};

#pragma GCC visibility pop
