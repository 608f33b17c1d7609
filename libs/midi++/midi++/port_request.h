#pragma once
// The textual description a port is made from: device, tag, direction and
// kind.

#include <midi++/port.h>

#include <string>

namespace MIDI {

struct PortRequest {
    enum Status { Unknown = 0, OK = 1, Busy = 2, NoSuchFile = 3, TypeUnsupported = 4, NotAllowed = 5 };

    // No direction word was understood: the request opens nothing.
    static const int NoMode = -1;

    // Owned copies; a request can be copied and outlives nothing it names.
    char* devname;
    char* tagname;
    int mode; // O_RDONLY, O_WRONLY or O_RDWR
    Port::Type type;
    Status status;

    PortRequest();
    PortRequest(const std::string& devname, const std::string& tagname, const std::string& mode,
                const std::string& type);
    PortRequest(const PortRequest& other);
    PortRequest& operator=(const PortRequest& other);
    ~PortRequest();

    void set_devname(const std::string& s);
    void set_tagname(const std::string& s);
};

} // namespace MIDI
