#pragma once
// Host names of reply addresses, each looked up on a detached thread of its
// own: a name server that never answers holds up only the answers for that
// name, and closing waits for no lookup. A lookup shares its result with the
// resolver through a record both hold, so the resolver may go at any time;
// the thread frees what it holds when its lookup ends.
#include <netinet/in.h>

#include <functional>
#include <memory>
#include <string>

namespace Quillomat {

class NameResolver {
public:
    // Looks host up (may block); false when it has no IPv4 address.
    typedef std::function<bool(const std::string& host, in_addr& out)> Lookup;
    // Told on the lookup's thread once host has a result (either way); never
    // once stop has returned.
    typedef std::function<void(const std::string& host)> Done;

    // Busy: no lookup could be started now (too many under way); nothing is
    // remembered, so a later call asks again.
    enum State { Pending, Resolved, Failed, Busy };

    // Lookups under way at once in the process (they outlive their
    // resolvers), and how many results are kept, for how long.
    static constexpr size_t MaxLookups = 128;
    static constexpr size_t MaxResults = 256;
    static constexpr int ResolvedSeconds = 300;
    static constexpr int FailedSeconds = 30;

    explicit NameResolver(Done done);
    ~NameResolver();

    // Nothing is told any more once this returns; it waits only for a result
    // being told just then. Lookups under way go on, and their results are
    // thrown away.
    void stop();

    NameResolver(const NameResolver&) = delete;
    NameResolver& operator=(const NameResolver&) = delete;

    // Never waits for a lookup. Pending: asked for, done(host) follows.
    State find(const std::string& host, in_addr& out);

    // For tests: replaces the system's lookup, for names asked for from now
    // on. It runs on the lookup's thread, also after the resolver is gone.
    void set_lookup(Lookup lookup);

private:
    struct Shared;
    std::shared_ptr<Shared> _shared;
};

} // namespace Quillomat
