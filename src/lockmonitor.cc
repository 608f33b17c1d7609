#include "lockmonitor.hpp"

namespace Kvo {

Lock::Lock() { pthread_mutex_init(&_mutex, nullptr); }

// The owner ends its users before itself, so the mutex is free here; leaving it
// undestroyed would leak whatever a platform keeps for it.
Lock::~Lock() { pthread_mutex_destroy(&_mutex); }

int Lock::lock() { return pthread_mutex_lock(&_mutex); }

int Lock::unlock() { return pthread_mutex_unlock(&_mutex); }

NonBlockingLock::~NonBlockingLock() {}

int NonBlockingLock::lock() { return pthread_mutex_lock(&_mutex); }

int NonBlockingLock::unlock() { return pthread_mutex_unlock(&_mutex); }

int NonBlockingLock::trylock() { return pthread_mutex_trylock(&_mutex); }

} // namespace Kvo
