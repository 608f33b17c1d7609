#pragma once
// Where the OSC server listens: loopback, unless QM_OSC_ADDRESS names another
// address the server may take. Shared by the server and by the editor view,
// which tells the GUI application where to reach the server.
#include <netinet/in.h>

namespace Quillomat {

// 127.0.0.1, or the numeric IPv4 address QM_OSC_ADDRESS names when that is
// 0.0.0.0 (every interface) or a unicast address of this machine: an
// address one of its interfaces has, never a broadcast or multicast one.
// With report, a value that is refused is told in one line on standard
// error. Names are not looked up.
in_addr osc_listen_address(bool report);

// A UDP socket bound to address:port (0: any port), or -1 with errno set.
int osc_bind_udp(in_addr address, int port);

} // namespace Quillomat
