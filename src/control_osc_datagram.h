#pragma once
// An OSC message built for sending, as the bytes of one datagram.
//
// liblo's lo_message_new and its senders use allocations whose results they
// never check, while its parser and its argument adds check theirs. So a
// message starts as a parsed empty one and is serialised into our own
// buffer: running out of memory throws std::bad_alloc, which fails only the
// send that wanted it.
#include <lo/lo.h>

#include <cstdint>
#include <string>

namespace Quillomat {

class OscDatagram {
public:
    OscDatagram();
    ~OscDatagram();
    OscDatagram(const OscDatagram&) = delete;
    OscDatagram& operator=(const OscDatagram&) = delete;

    OscDatagram& add(int32_t value);
    OscDatagram& add(float value);
    OscDatagram& add(const std::string& value);
    OscDatagram& add(const char* value);

    // The message under path.
    std::string bytes(const char* path) const;

private:
    lo_message _msg;
};

} // namespace Quillomat
