#pragma once
// An IPv4 address of this machine besides loopback, for tests of what the OSC
// server listens on; "" when there is none.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <string>

namespace qmtest {

inline std::string outside_address()
{
    ifaddrs* all = nullptr;
    std::string found;
    for (ifaddrs* i = getifaddrs(&all) == 0 ? all : nullptr; i && found.empty(); i = i->ifa_next) {
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET && !(i->ifa_flags & IFF_LOOPBACK)) {
            char text[INET_ADDRSTRLEN];
            found = inet_ntop(AF_INET, &((sockaddr_in*)i->ifa_addr)->sin_addr, text, sizeof(text));
        }
    }
    freeifaddrs(all);
    return found;
}

} // namespace qmtest
