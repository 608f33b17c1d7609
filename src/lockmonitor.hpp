#pragma once
// Mutexes and the scoped monitors that take them. Real-time code only ever
// uses TentativeLockMonitor on a NonBlockingLock and skips its work when the
// lock is busy.

#include <pthread.h>

namespace Kvo {

class Lock {
  public:
    Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    virtual ~Lock();

    virtual int lock();
    virtual int unlock();

    // For condition waits that must release this very mutex.
    pthread_mutex_t* mutex() { return &_mutex; }

  protected:
    pthread_mutex_t _mutex;
};

class NonBlockingLock : public Lock {
  public:
    NonBlockingLock() {}
    ~NonBlockingLock() override;

    int lock() override;
    int unlock() override;

    // 0 when taken; non-zero when held, also by the calling thread itself.
    int trylock();
};

// Line and file name document the call site; they change nothing.
class LockMonitor {
  public:
    LockMonitor(Lock& lck, unsigned long l, const char* f) : lock(lck) {
        (void)l;
        (void)f;
        lock.lock();
    }
    LockMonitor(const LockMonitor&) = delete;
    LockMonitor& operator=(const LockMonitor&) = delete;
    ~LockMonitor() { lock.unlock(); }

  private:
    Lock& lock;
};

class TentativeLockMonitor {
  public:
    TentativeLockMonitor(NonBlockingLock& lck, unsigned long l, const char* f) : lock(lck) {
        (void)l;
        (void)f;
        _locked = lock.trylock() == 0;
    }
    TentativeLockMonitor(const TentativeLockMonitor&) = delete;
    TentativeLockMonitor& operator=(const TentativeLockMonitor&) = delete;
    ~TentativeLockMonitor() {
        if (_locked) {
            lock.unlock();
        }
    }

    bool locked() const { return _locked; }

  private:
    NonBlockingLock& lock;
    bool _locked;
};

} // namespace Kvo
