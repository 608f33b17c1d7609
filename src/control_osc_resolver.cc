#include "control_osc_resolver.h"

#include <netdb.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <system_error>

namespace Quillomat {

namespace {

typedef std::chrono::steady_clock Clock;

struct Result {
    NameResolver::State state;
    in_addr address;
    Clock::time_point until;  // kept until then (a pending one: while queued)
};

} // namespace

// What the thread uses: it outlives the resolver when a lookup is still under
// way as the resolver goes.
struct NameResolver::Shared {
    std::mutex lock;
    std::condition_variable wake;       // a name was queued, or stop
    std::condition_variable delivered;  // done() returned
    bool stopping = false;
    bool looking = false;
    bool delivering = false;
    std::deque<std::string> queue;
    std::map<std::string, Result> results;
    Lookup lookup = &NameResolver::system_lookup;
    Done done;

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

bool NameResolver::system_lookup(const std::string& host, in_addr& out)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) {
        return false;
    }
    out = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

NameResolver::NameResolver(Done done) : _shared(std::make_shared<Shared>())
{
    _shared->done = std::move(done);
    try {
        _thread = std::thread(&NameResolver::run, _shared);
    } catch (const std::system_error& e) {
        fprintf(stderr, "OSC: cannot start the name resolver: %s\n", e.what());
    }
}

NameResolver::~NameResolver()
{
    std::unique_lock<std::mutex> l(_shared->lock);
    _shared->stopping = true;
    _shared->wake.notify_all();
    _shared->delivered.wait(l, [this] { return !_shared->delivering; });
    const bool busy = _shared->looking;
    l.unlock();
    if (!_thread.joinable()) {
        return;
    }
    // A name server that never answers must not hold up the close.
    if (busy) {
        _thread.detach();
    } else {
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
    if (!_thread.joinable() || _shared->stopping || _shared->queue.size() >= MaxQueued) {
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

void NameResolver::run(std::shared_ptr<Shared> s)
{
    std::unique_lock<std::mutex> l(s->lock);
    for (;;) {
        s->wake.wait(l, [&s] { return s->stopping || !s->queue.empty(); });
        if (s->stopping) {
            return;
        }
        const std::string host = s->queue.front();
        s->queue.pop_front();
        const Lookup lookup = s->lookup;
        s->looking = true;
        l.unlock();
        in_addr address{};
        const bool found = lookup && lookup(host, address);
        l.lock();
        s->looking = false;
        if (s->stopping) {
            return;
        }
        const Clock::time_point now = Clock::now();
        s->results[host] = found ? Result{Resolved, address, now + std::chrono::seconds(ResolvedSeconds)}
                                 : Result{Failed, in_addr{}, now + std::chrono::seconds(FailedSeconds)};
        s->delivering = true;
        l.unlock();
        if (s->done) {
            s->done(host);
        }
        l.lock();
        s->delivering = false;
        s->delivered.notify_all();
    }
}

} // namespace Quillomat
