#include "control_osc_resolver.h"

#include <dlfcn.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <map>
#include <mutex>
#include <new>

namespace Quillomat {

namespace {

typedef std::chrono::steady_clock Clock;

// Ample for the C library's lookup (its largest buffers are on the heap),
// and a sixty-fourth of the default.
const size_t kStackBytes = 128 * 1024;

// Lookup threads of the whole process: they outlive their resolvers.
std::atomic<size_t> lookups_running{0};

struct Result {
    NameResolver::State state;
    in_addr address;
    Clock::time_point until;  // kept until then (a pending one: while it runs)
};

NameResolver::State system_lookup(const std::string& host, in_addr& out)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    switch (getaddrinfo(host.c_str(), nullptr, &hints, &found)) {
    case 0:
        break;
    // What the name servers say of the name itself.
    case EAI_NONAME:
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
        return NameResolver::Failed;
    // Out of memory, files or time here: the name may well exist.
    default:
        return NameResolver::Busy;
    }
    const bool ok = found && found->ai_family == AF_INET && found->ai_addr;
    if (ok) {
        out = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    }
    freeaddrinfo(found);
    return ok ? NameResolver::Resolved : NameResolver::Failed;
}

// A lookup thread runs code of this library to its very end, and a host may
// unload the plug-in meanwhile. So each thread holds the library loaded, and
// lets go only after its own function has returned: the C library drops the
// hold as it cleans up the thread (the destructor of a thread-specific
// value), so an unload that this sets off returns into no code of ours.
class LibraryHolds {
public:
    LibraryHolds()
    {
        // dlclose itself is the destructor; its result is of no use there.
        const auto drop = reinterpret_cast<void (*)(void*)>(reinterpret_cast<void (*)()>(&dlclose));
        _made = pthread_key_create(&_key, drop) == 0;
    }
    ~LibraryHolds()
    {
        if (_made) {
            pthread_key_delete(_key);
        }
    }

    // A hold on the library this code is in; null in a program linked with
    // it, which stays anyway.
    static void* take()
    {
        Dl_info info;
        if (!dladdr(reinterpret_cast<void*>(&system_lookup), &info) || !info.dli_fname) {
            return nullptr;
        }
        return dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    }

    // The thread's last call. Without a key the library stays for good.
    void drop_after_return(void* hold)
    {
        if (hold && _made) {
            pthread_setspecific(_key, hold);
        }
    }

private:
    pthread_key_t _key;
    bool _made;
};

LibraryHolds library_holds;

} // namespace

// What the resolver and its lookups share: the last to go frees it.
struct NameResolver::Shared : std::enable_shared_from_this<Shared> {
    std::mutex lock;  // everything but done
    bool stopped = false;
    std::map<std::string, Result> results;
    Lookup lookup;  // empty: the system's

    // Held while done runs, so that stop can wait for a result being told.
    std::mutex telling;
    Done done;

    // One lookup, owned by its thread.
    struct Job {
        std::shared_ptr<Shared> to;
        std::string host;
        Lookup lookup;
        void* hold;
    };

    // With lock held; false when no thread could be started.
    bool start(const std::string& host);
    static void* run(void* job);
    void finish(const std::string& host, State state, in_addr address);

    // Expired results go first, then the oldest finished one. With lock held.
    void make_room(Clock::time_point now)
    {
        for (auto it = results.begin(); it != results.end();) {
            it = it->second.state != Pending && it->second.until <= now ? results.erase(it) : std::next(it);
        }
        if (results.size() < MaxResults + MostLookups) {
            return;
        }
        auto oldest = results.end();
        for (auto it = results.begin(); it != results.end(); ++it) {
            if (it->second.state != Pending && (oldest == results.end() || it->second.until < oldest->second.until)) {
                oldest = it;
            }
        }
        if (oldest != results.end()) {
            results.erase(oldest);
        }
    }
};

size_t NameResolver::max_lookups()
{
    rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY) {
        return MostLookups;
    }
    return std::min<size_t>(MostLookups, files.rlim_cur / 4);
}

bool NameResolver::Shared::start(const std::string& host)
{
    const size_t bound = max_lookups();
    size_t running = lookups_running.load();
    do {
        if (running >= bound) {
            return false;
        }
    } while (!lookups_running.compare_exchange_weak(running, running + 1));
    // The place goes back unless a thread takes it.
    struct Place {
        bool taken = false;
        ~Place()
        {
            if (!taken) {
                --lookups_running;
            }
        }
    } place;
    std::unique_ptr<Job> job(new Job{shared_from_this(), host, lookup, nullptr});
    job->hold = LibraryHolds::take();
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, kStackBytes);
    // The host's signals are none of its business.
    sigset_t all, was;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &was);
    pthread_t thread;
    const int error = pthread_create(&thread, &attr, &Shared::run, job.get());
    pthread_sigmask(SIG_SETMASK, &was, nullptr);
    pthread_attr_destroy(&attr);
    if (error != 0) {
        if (job->hold) {
            dlclose(job->hold);
        }
        return false;
    }
    job.release();
    place.taken = true;
    return true;
}

void* NameResolver::Shared::run(void* arg)
{
    std::unique_ptr<Job> job(static_cast<Job*>(arg));
    void* const hold = job->hold;
    in_addr address{};
    State state = Busy;
    try {
        state = job->lookup ? job->lookup(job->host, address) : system_lookup(job->host, address);
    } catch (const std::exception&) {
        // Out of memory: no answer, and the next send asks again.
    }
    try {
        job->to->finish(job->host, state == Resolved || state == Failed ? state : Busy, address);
    } catch (const std::exception&) {
        // Out of memory while telling: what waits for the name goes with its
        // next send.
    }
    job.reset();
    --lookups_running;
    library_holds.drop_after_return(hold);
    return nullptr;
}

void NameResolver::Shared::finish(const std::string& host, State state, in_addr address)
{
    std::lock_guard<std::mutex> told(telling);
    {
        std::lock_guard<std::mutex> l(lock);
        if (stopped) {
            return;
        }
        const Clock::time_point now = Clock::now();
        // A pending result is there, so this allocates nothing.
        if (state == Resolved) {
            results[host] = Result{Resolved, address, now + std::chrono::seconds(ResolvedSeconds)};
        } else if (state == Failed) {
            results[host] = Result{Failed, in_addr{}, now + std::chrono::seconds(FailedSeconds)};
        } else {
            results.erase(host);
        }
    }
    if (done) {
        done(host, state, address);
    }
}

NameResolver::NameResolver(Done done) : _shared(std::make_shared<Shared>())
{
    _shared->done = std::move(done);
}

NameResolver::~NameResolver()
{
    stop();
}

void NameResolver::stop()
{
    {
        std::lock_guard<std::mutex> l(_shared->lock);
        _shared->stopped = true;
        _shared->results.clear();
        _shared->lookup = nullptr;
    }
    std::lock_guard<std::mutex> told(_shared->telling);
    _shared->done = nullptr;
}

NameResolver::State NameResolver::find(const std::string& host, in_addr& out)
{
    Shared& s = *_shared;
    std::lock_guard<std::mutex> l(s.lock);
    const Clock::time_point now = Clock::now();
    auto it = s.results.find(host);
    if (it != s.results.end() && (it->second.state == Pending || now < it->second.until)) {
        out = it->second.address;
        return it->second.state;
    }
    if (s.stopped) {
        return Failed;
    }
    s.make_room(now);
    // Pending before the lookup can finish; nothing is started when this
    // throws.
    s.results[host] = Result{Pending, in_addr{}, now};
    bool started = false;
    try {
        started = s.start(host);
    } catch (const std::bad_alloc&) {
    }
    if (!started) {
        s.results.erase(host);
        return Busy;
    }
    return Pending;
}

void NameResolver::set_lookup(Lookup lookup)
{
    std::lock_guard<std::mutex> l(_shared->lock);
    _shared->lookup = std::move(lookup);
}

} // namespace Quillomat
