#include "control_osc_address.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Quillomat {

namespace {

const char* const kAddressVariable = "QM_OSC_ADDRESS";

// Binding alone would take a broadcast or multicast address, or any of
// 127.0.0.0/8: only an address an interface has is the machine's own.
bool interface_address(in_addr address)
{
    if (address.s_addr == htonl(INADDR_LOOPBACK)) {
        return true;
    }
    ifaddrs* all = nullptr;
    if (getifaddrs(&all) != 0) {
        return false;
    }
    bool found = false;
    for (const ifaddrs* i = all; i && !found; i = i->ifa_next) {
        found = i->ifa_addr && i->ifa_addr->sa_family == AF_INET &&
                reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr == address.s_addr;
    }
    freeifaddrs(all);
    return found;
}

} // namespace

in_addr osc_listen_address(bool report)
{
    const in_addr loopback{htonl(INADDR_LOOPBACK)};
    const char* text = getenv(kAddressVariable);
    if (!text || !*text) {
        return loopback;
    }
    in_addr asked{};
    const char* refused = nullptr;
    if (inet_pton(AF_INET, text, &asked) != 1) {
        refused = "is no numeric IPv4 address";
    } else if (asked.s_addr != htonl(INADDR_ANY) && !interface_address(asked)) {
        refused = "is no unicast address of this machine";
    }
    if (refused) {
        if (report) {
            fprintf(stderr, "%s: \"%s\" %s; listening on 127.0.0.1\n", kAddressVariable, text, refused);
        }
        return loopback;
    }
    // The address can be bound at all (on any port).
    const int probe = osc_bind_udp(asked, 0);
    if (probe < 0) {
        if (report) {
            fprintf(stderr, "%s: cannot listen on %s: %s; listening on 127.0.0.1\n", kAddressVariable, text,
                    strerror(errno));
        }
        return loopback;
    }
    close(probe);
    return asked;
}

int osc_bind_udp(in_addr address, int port)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr = address;
    at.sin_port = htons((uint16_t)port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof(at)) != 0) {
        const int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

} // namespace Quillomat
