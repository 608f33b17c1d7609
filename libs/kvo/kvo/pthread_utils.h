#pragma once
// Process-wide registry of named threads, so that a thread can tell its own
// name and a program can stop every thread it started at shutdown.

#include <pthread.h>

#include <string>

namespace Kvo {

// As pthread_create; the new thread is recorded under name before it runs.
// A name already recorded keeps its first thread. A thread leaves the registry
// when it ends, so the "all" calls below never reach one that may have been
// joined.
int pthread_create_and_store(const std::string& name, pthread_t* thread, const pthread_attr_t* attr,
                             void* (*start_routine)(void*), void* arg);

// The calling thread's recorded name, or "unknown".
std::string pthread_name();

// Signal, or cancel, every recorded thread but the caller, then forget them all.
void pthread_kill_all(int signum);
void pthread_cancel_all();

void pthread_cancel_one(pthread_t thread);

// Forgets the calling thread and ends it.
[[noreturn]] void pthread_exit_kvo(void* status);

} // namespace Kvo
