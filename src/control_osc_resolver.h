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
    // Busy: no answer could be had now (too many lookups under way, or this
    // host's own limits: memory, files, threads, a name server that did not
    // answer); nothing is remembered, so a later call asks again. Failed:
    // the name does not exist, or has no IPv4 address.
    enum State { Pending, Resolved, Failed, Busy };

    // Looks host up (may block): Resolved with out set, Failed or Busy.
    typedef std::function<State(const std::string& host, in_addr& out)> Lookup;
    // Told on the lookup's thread once host has a result (Resolved, Failed
    // or Busy); never once stop has returned.
    typedef std::function<void(const std::string& host, State state, in_addr address)> Done;

    // Lookups under way at once in the process (they outlive their
    // resolvers), and how many results are kept, for how long.
    static constexpr size_t MostLookups = 128;
    static constexpr size_t MaxResults = 256;
    static constexpr int ResolvedSeconds = 300;
    static constexpr int FailedSeconds = 30;

    // MostLookups, or fewer where the process may open few files: a lookup
    // holds up to two at once, and lookups take at most half of them.
    static size_t max_lookups();

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
