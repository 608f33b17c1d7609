#pragma once
// Makes a concrete port for a request.

#include <midi++/port.h>

#include <string>
#include <vector>

namespace MIDI {

class PortFactory {
  public:
    // Null and named-pipe requests make a port, which the caller owns and
    // must check with ok(): the request's status tells why one did not
    // open. Other kinds, and requests without a direction, give null.
    Port* create_port(PortRequest& req);

    // Appends a new duplex raw-MIDI request named name for device and tag;
    // the caller owns it.
    static void add_port_request(std::vector<PortRequest*>& reqs, const std::string& name);
};

} // namespace MIDI
