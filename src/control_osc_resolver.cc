#include "control_osc_resolver.h"

#include <netdb.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <system_error>

// ThreadSanitizer's runtime crashes in the threads the C library starts for
// its asynchronous lookups: that build looks names up on the resolver's own
// thread, and closing then waits for a lookup under way.
#if defined(__SANITIZE_THREAD__)
#define QM_LIBRARY_LOOKUP 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QM_LIBRARY_LOOKUP 0
#endif
#endif
#ifndef QM_LIBRARY_LOOKUP
#define QM_LIBRARY_LOOKUP 1
#endif

namespace Quillomat {

namespace {

typedef std::chrono::steady_clock Clock;

struct Result {
    NameResolver::State state;
    in_addr address;
    Clock::time_point until;  // kept until then (a pending one: while queued)
};

bool first_address(const addrinfo* found, in_addr& out)
{
    if (!found || found->ai_family != AF_INET || !found->ai_addr) {
        return false;
    }
    out = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    return true;
}

#if QM_LIBRARY_LOOKUP
// How long the resolver's thread waits for a lookup before it looks whether
// it is to stop.
const long kStopCheckNanos = 50 * 1000 * 1000;

// One lookup, run by the C library's own threads: nothing of ours runs when
// it ends, however late, so a host may unload the plug-in meanwhile. The
// library writes the result in here.
struct LibraryLookup {
    std::string host;
    addrinfo hints{};
    gaicb request{};
    LibraryLookup* next = nullptr;
};

// Lookups the library could not cancel, kept for good so that their late
// results land in memory that stays valid (and reachable, so a leak checker
// sees them kept on purpose).
std::atomic<LibraryLookup*> kept_lookups{nullptr};

void keep(LibraryLookup* lookup)
{
    lookup->next = kept_lookups.load();
    while (!kept_lookups.compare_exchange_weak(lookup->next, lookup)) {
    }
}
#endif

} // namespace

struct NameResolver::Shared {
    std::mutex lock;
    std::condition_variable wake;  // a name was queued, or stop
    bool started = false;
    bool stopping = false;
    std::deque<std::string> queue;
    std::map<std::string, Result> results;
    Lookup lookup;  // empty: the system's
    Done done;

    bool stopped()
    {
        std::lock_guard<std::mutex> l(lock);
        return stopping;
    }

    // The system's lookup, on the resolver's thread; false also when the
    // resolver stops first.
    bool look_up(const std::string& host, in_addr& out);

    // Expired results go first, then the oldest finished one.
    void make_room(Clock::time_point now)
    {
        for (auto it = results.begin(); it != results.end();) {
            it = it->second.state != Pending && it->second.until <= now ? results.erase(it) : std::next(it);
        }
        if (results.size() < MaxResults + MaxQueued) {
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

#if QM_LIBRARY_LOOKUP
bool NameResolver::Shared::look_up(const std::string& host, in_addr& out)
{
    std::unique_ptr<LibraryLookup> l(new LibraryLookup);
    l->host = host;
    l->hints.ai_family = AF_INET;
    l->hints.ai_socktype = SOCK_DGRAM;
    l->request.ar_name = l->host.c_str();
    l->request.ar_request = &l->hints;
    gaicb* list[] = {&l->request};
    if (getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr) != 0 && gai_error(&l->request) != EAI_INPROGRESS) {
        return false;
    }
    const gaicb* const waited[] = {&l->request};
    const timespec slice = {0, kStopCheckNanos};
    for (;;) {
        const int error = gai_error(&l->request);
        if (error != EAI_INPROGRESS) {
            const bool found = error == 0 && first_address(l->request.ar_result, out);
            if (l->request.ar_result) {
                freeaddrinfo(l->request.ar_result);
            }
            return found;
        }
        if (stopped()) {
            // Cancelled, or finished meanwhile: the next round frees it.
            if (gai_cancel(&l->request) == EAI_NOTCANCELED) {
                keep(l.release());
                return false;
            }
            continue;
        }
        gai_suspend(waited, 1, &slice);
    }
}
#else
bool NameResolver::Shared::look_up(const std::string& host, in_addr& out)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) {
        return false;
    }
    const bool ok = first_address(found, out);
    freeaddrinfo(found);
    return ok;
}
#endif

NameResolver::NameResolver(Done done) : _shared(new Shared)
{
    _shared->done = std::move(done);
    try {
        _thread = std::thread(&NameResolver::run, this);
        _shared->started = true;
    } catch (const std::system_error& e) {
        fprintf(stderr, "OSC: cannot start the name resolver: %s\n", e.what());
    }
}

NameResolver::~NameResolver()
{
    stop();
}

void NameResolver::stop()
{
    {
        std::lock_guard<std::mutex> l(_shared->lock);
        _shared->stopping = true;
    }
    _shared->wake.notify_all();
    if (_thread.joinable()) {
        _thread.join();
    }
}

NameResolver::State NameResolver::find(const std::string& host, in_addr& out)
{
    std::lock_guard<std::mutex> l(_shared->lock);
    const Clock::time_point now = Clock::now();
    auto it = _shared->results.find(host);
    if (it != _shared->results.end() && (it->second.state == Pending || now < it->second.until)) {
        out = it->second.address;
        return it->second.state;
    }
    if (!_shared->started || _shared->stopping || _shared->queue.size() >= MaxQueued) {
        return Failed;
    }
    _shared->make_room(now);
    _shared->results[host] = Result{Pending, in_addr{}, now};
    _shared->queue.push_back(host);
    _shared->wake.notify_one();
    return Pending;
}

void NameResolver::set_lookup(Lookup lookup)
{
    std::lock_guard<std::mutex> l(_shared->lock);
    _shared->lookup = std::move(lookup);
}

void NameResolver::run()
{
    Shared& s = *_shared;
    std::unique_lock<std::mutex> l(s.lock);
    for (;;) {
        s.wake.wait(l, [&s] { return s.stopping || !s.queue.empty(); });
        if (s.stopping) {
            return;
        }
        const std::string host = s.queue.front();
        s.queue.pop_front();
        const Lookup lookup = s.lookup;
        l.unlock();
        in_addr address{};
        const bool found = lookup ? lookup(host, address) : s.look_up(host, address);
        l.lock();
        if (s.stopping) {
            return;
        }
        const Clock::time_point now = Clock::now();
        s.results[host] = found ? Result{Resolved, address, now + std::chrono::seconds(ResolvedSeconds)}
                                : Result{Failed, in_addr{}, now + std::chrono::seconds(FailedSeconds)};
        l.unlock();
        if (s.done) {
            s.done(host);
        }
        l.lock();
    }
}

} // namespace Quillomat
