#pragma once
// Host names of reply addresses, looked up on a thread of their own: a name
// server that never answers holds up that thread only, never the engine
// thread that answers everybody else.
#include <netinet/in.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace Quillomat {

class NameResolver {
public:
    // Looks host up (may block for as long as the name servers take); false
    // when it has no IPv4 address.
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
    // Returns at once: a lookup still under way is left to finish by itself
    // and its result is thrown away.
    ~NameResolver();

    NameResolver(const NameResolver&) = delete;
    NameResolver& operator=(const NameResolver&) = delete;

    // Never waits for a lookup. Pending: asked for, done(host) follows;
    // Failed also when too many names wait already (nothing is remembered
    // then, so a later call asks again).
    State find(const std::string& host, in_addr& out);

    // Replaces the lookup (by default the system's), for names asked for
    // from now on.
    void set_lookup(Lookup lookup);

    // The system's lookup of an IPv4 address.
    static bool system_lookup(const std::string& host, in_addr& out);

private:
    struct Shared;
    static void run(std::shared_ptr<Shared> shared);

    std::shared_ptr<Shared> _shared;
    std::thread _thread;
};

} // namespace Quillomat
