#include <midi++/port_request.h>

#include <fcntl.h>

#include <cstdlib>
#include <cstring>
#include <utility>

namespace MIDI {

namespace {
char* copy(const char* s) { return s ? strdup(s) : nullptr; }
} // namespace

PortRequest::PortRequest() : devname(nullptr), tagname(nullptr), mode(0), type(Port::Unknown), status(Unknown) {}

PortRequest::PortRequest(const std::string& xdev, const std::string& xtag, const std::string& xmode,
                         const std::string& xtype)
    : devname(strdup(xdev.c_str())), tagname(strdup(xtag.c_str())), mode(NoMode), type(Port::Unknown), status(OK) {
    if (xmode == "output" || xmode == "out" || xmode == "OUTPUT" || xmode == "OUT") {
        mode = O_WRONLY;
    } else if (xmode == "input" || xmode == "in" || xmode == "INPUT" || xmode == "IN") {
        mode = O_RDONLY;
    } else if (xmode == "duplex" || xmode == "DUPLEX" || xmode == "inout" || xmode == "INOUT") {
        mode = O_RDWR;
    } else {
        status = Unknown;
    }

    if (xtype == "ALSA/RAW" || xtype == "alsa/raw") {
        type = Port::ALSA_RawMidi;
    } else if (xtype == "ALSA/SEQUENCER" || xtype == "alsa/sequencer") {
        type = Port::ALSA_Sequencer;
    } else if (xtype == "COREMIDI" || xtype == "coremidi") {
        type = Port::CoreMidi_MidiPort;
    } else if (xtype == "NULL" || xtype == "null") {
        type = Port::Null;
    } else if (xtype == "FIFO" || xtype == "fifo") {
        type = Port::FIFO;
    } else {
        status = Unknown;
    }
}

PortRequest::PortRequest(const PortRequest& o)
    : devname(copy(o.devname)), tagname(copy(o.tagname)), mode(o.mode), type(o.type), status(o.status) {}

PortRequest& PortRequest::operator=(const PortRequest& o) {
    if (this != &o) {
        PortRequest t(o);
        std::swap(devname, t.devname);
        std::swap(tagname, t.tagname);
        mode = o.mode;
        type = o.type;
        status = o.status;
    }
    return *this;
}
PortRequest::~PortRequest() {
    std::free(devname);
    std::free(tagname);
}

void PortRequest::set_devname(const std::string& s) {
    std::free(devname);
    devname = strdup(s.c_str());
}

void PortRequest::set_tagname(const std::string& s) {
    std::free(tagname);
    tagname = strdup(s.c_str());
}

} // namespace MIDI
