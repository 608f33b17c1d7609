#pragma once
// Addresses of this machine besides loopback, for tests of what the OSC server
// listens on; "" when there is none.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <string>

namespace qmtest {

// The address of the first IPv4 interface besides loopback; with broadcast,
// the broadcast address of the first that has one.
inline std::string interface_address(bool broadcast)
{
    ifaddrs* all = nullptr;
    std::string found;
    for (ifaddrs* i = getifaddrs(&all) == 0 ? all : nullptr; i && found.empty(); i = i->ifa_next) {
        const sockaddr* a = !broadcast ? i->ifa_addr : (i->ifa_flags & IFF_BROADCAST) ? i->ifa_broadaddr : nullptr;
        if (a && i->ifa_addr && i->ifa_addr->sa_family == AF_INET && !(i->ifa_flags & IFF_LOOPBACK)) {
            char text[INET_ADDRSTRLEN];
            found = inet_ntop(AF_INET, &((const sockaddr_in*)a)->sin_addr, text, sizeof(text));
        }
    }
    freeifaddrs(all);
    return found;
}

inline std::string outside_address()
{
    return interface_address(false);
}

inline std::string outside_broadcast()
{
    return interface_address(true);
}

} // namespace qmtest
