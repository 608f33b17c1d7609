#pragma once
#include <sched.h>
#include <sys/mount.h>

#include <string>

namespace qmtest {

// From here on this thread, and the threads it starts, read the hosts file
// at `hosts` and ask a name server on loopback, where none answers: no name
// a test looks up is asked for off this machine. Needs root.
inline bool keep_lookups_here(const std::string& hosts, const std::string& resolv)
{
    const auto bind = [](const std::string& from, const char* to) {
        return mount(from.c_str(), to, nullptr, MS_BIND, nullptr) == 0;
    };
    return unshare(CLONE_NEWNS) == 0 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           bind(hosts, "/etc/hosts") && bind(resolv, "/etc/resolv.conf");
}

} // namespace qmtest
