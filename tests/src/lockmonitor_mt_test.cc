#include "lockmonitor.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace {

bool try_on_other_thread(Kvo::NonBlockingLock& l) {
    return std::async(std::launch::async, [&] { return Kvo::TentativeLockMonitor(l, __LINE__, __FILE__).locked(); })
        .get();
}

// Another thread holds the lock from construction until release().
struct Holder {
    explicit Holder(Kvo::Lock& l) : t([&] {
        Kvo::LockMonitor mon(l, __LINE__, __FILE__);
        holding.set_value();
        go.get_future().wait();
    }) {
        holding.get_future().wait();
    }
    void release() { go.set_value(); }
    ~Holder() { t.join(); }
    std::promise<void> holding, go;
    std::thread t;
};

} // namespace

TEST(TentativeLockMonitor, FailsWhileAnotherThreadHoldsAndSucceedsAfter) {
    Kvo::NonBlockingLock l;
    {
        Holder h(l);
        EXPECT_FALSE(Kvo::TentativeLockMonitor(l, 0, nullptr).locked());
        EXPECT_FALSE(try_on_other_thread(l)) << "a failed monitor must release nothing";
        h.release();
    }
    {
        Kvo::TentativeLockMonitor first(l, __LINE__, __FILE__);
        EXPECT_TRUE(first.locked());
        EXPECT_FALSE(Kvo::TentativeLockMonitor(l, __LINE__, __FILE__).locked()) << "plain mutex";
        EXPECT_FALSE(try_on_other_thread(l));
    }
    EXPECT_TRUE(try_on_other_thread(l)) << "the monitor's end frees the lock";
}

TEST(LockMonitor, WaitsUntilTheHolderUnlocks) {
    Kvo::NonBlockingLock l;
    std::atomic<bool> released{false}, entered_early{false};
    std::thread waiter;
    {
        Holder h(l);
        waiter = std::thread([&] {
            Kvo::LockMonitor mon(l, __LINE__, "elsewhere.cc");
            entered_early = !released.load();
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        released = true;
        h.release();
    }
    waiter.join();
    EXPECT_FALSE(entered_early);
    EXPECT_TRUE(try_on_other_thread(l));
}
