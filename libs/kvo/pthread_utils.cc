#include <kvo/pthread_utils.h>

#include <signal.h>

#include <iostream>
#include <map>

namespace Kvo {

namespace {

typedef std::map<std::string, pthread_t> ThreadMap;

pthread_mutex_t thread_map_lock = PTHREAD_MUTEX_INITIALIZER;

// Never destroyed: a thread still running at exit may yet look itself up.
ThreadMap& all_threads() {
    static ThreadMap* threads = new ThreadMap;
    return *threads;
}

class MapLock {
  public:
    MapLock() { pthread_mutex_lock(&thread_map_lock); }
    MapLock(const MapLock&) = delete;
    MapLock& operator=(const MapLock&) = delete;
    ~MapLock() { pthread_mutex_unlock(&thread_map_lock); }
};

ThreadMap::iterator find_thread(ThreadMap& threads, pthread_t thread) {
    for (ThreadMap::iterator i = threads.begin(); i != threads.end(); ++i) {
        if (pthread_equal(i->second, thread)) {
            return i;
        }
    }
    return threads.end();
}

struct StartInfo {
    void* (*routine)(void*);
    void* arg;
};

// Runs however the thread ends (return, pthread_exit, cancellation), before it
// can be joined and its handle reused.
void forget_self(void*) {
    MapLock lm;
    ThreadMap& threads = all_threads();
    ThreadMap::iterator i = find_thread(threads, pthread_self());
    if (i != threads.end()) {
        threads.erase(i);
    }
}

void* run_thread(void* p) {
    StartInfo info = *static_cast<StartInfo*>(p);
    delete static_cast<StartInfo*>(p);
    void* result = nullptr;
    pthread_cleanup_push(forget_self, nullptr);
    result = info.routine(info.arg);
    pthread_cleanup_pop(1);
    return result;
}

} // namespace

int pthread_create_and_store(const std::string& name, pthread_t* thread, const pthread_attr_t* attr,
                             void* (*start_routine)(void*), void* arg) {
    StartInfo* info = new StartInfo{start_routine, arg};
    // Held across the creation: the new thread cannot look itself up, or end,
    // before it is recorded.
    MapLock lm;
    int err = pthread_create(thread, attr, run_thread, info);
    if (err != 0) {
        delete info;
        return err;
    }
    all_threads().insert(ThreadMap::value_type(name, *thread));
    return 0;
}

std::string pthread_name() {
    MapLock lm;
    ThreadMap& threads = all_threads();
    ThreadMap::iterator i = find_thread(threads, pthread_self());
    return i != threads.end() ? i->first : "unknown";
}

void pthread_kill_all(int signum) {
    MapLock lm;
    ThreadMap& threads = all_threads();
    for (ThreadMap::iterator i = threads.begin(); i != threads.end(); ++i) {
        if (!pthread_equal(i->second, pthread_self())) {
            std::cerr << "killing " << i->first << " thread" << std::endl;
            pthread_kill(i->second, signum);
        }
    }
    threads.clear();
}

void pthread_cancel_all() {
    MapLock lm;
    ThreadMap& threads = all_threads();
    for (ThreadMap::iterator i = threads.begin(); i != threads.end(); ++i) {
        if (!pthread_equal(i->second, pthread_self())) {
            std::cerr << "stopping " << i->first << " thread" << std::endl;
            pthread_cancel(i->second);
        }
    }
    threads.clear();
}

void pthread_cancel_one(pthread_t thread) {
    MapLock lm;
    ThreadMap& threads = all_threads();
    ThreadMap::iterator i = find_thread(threads, thread);
    if (i != threads.end()) {
        std::cerr << "stopping " << i->first << " thread" << std::endl;
        threads.erase(i);
    }
    pthread_cancel(thread);
}

void pthread_exit_kvo(void* status) {
    {
        MapLock lm;
        ThreadMap& threads = all_threads();
        ThreadMap::iterator i = find_thread(threads, pthread_self());
        if (i != threads.end()) {
            std::cerr << "exiting from " << i->first << " thread" << std::endl;
            threads.erase(i);
        }
    }
    pthread_exit(status);
}

} // namespace Kvo
