#pragma once
// Host names of reply addresses, looked up away from the engine thread: a
// name server that never answers holds up no answer to anybody else, and
// closing waits for no name server either.
#include <netinet/in.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace Quillomat {

class NameResolver {
public:
    // Looks host up (may block); false when it has no IPv4 address.
    typedef std::function<bool(const std::string& host, in_addr& out)> Lookup;
    // Told on the resolver's thread once host has a result (either way).
    typedef std::function<void(const std::string& host)> Done;

    enum State { Pending, Resolved, Failed };

    // How many names may wait for the thread, how many results are kept, and
    // for how long.
    static constexpr size_t MaxQueued = 64;
    static constexpr size_t MaxResults = 256;
    static constexpr int ResolvedSeconds = 300;
    static constexpr int FailedSeconds = 30;

    explicit NameResolver(Done done);
    // Returns within a fraction of a second and leaves no thread of ours
    // behind: a system lookup still under way is left to the C library's own
    // threads, its result thrown away. A replaced lookup is waited for.
    ~NameResolver();

    // The destructor's work, for an owner that the thread reaches through
    // this object until it returns; a name not known by then is not asked
    // for any more.
    void stop();

    NameResolver(const NameResolver&) = delete;
    NameResolver& operator=(const NameResolver&) = delete;

    // Never waits for a lookup. Pending: asked for, done(host) follows;
    // Failed also when too many names wait already (nothing is remembered
    // then, so a later call asks again).
    State find(const std::string& host, in_addr& out);

    // For tests: replaces the system's lookup, for names asked for from now
    // on. It runs on the resolver's thread, and the destructor waits for it
    // to return: a test lets a lookup it holds go before closing.
    void set_lookup(Lookup lookup);

private:
    struct Shared;
    void run();

    std::unique_ptr<Shared> _shared;
    std::thread _thread;
};

} // namespace Quillomat
