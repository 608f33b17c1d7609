#include <midi++/factory.h>
#include <midi++/fifomidi.h>
#include <midi++/nullmidi.h>
#include <midi++/port_request.h>

#include <fcntl.h>

namespace MIDI {

Port* PortFactory::create_port(PortRequest& req) {
    if (req.mode != O_RDONLY && req.mode != O_WRONLY && req.mode != O_RDWR) {
        // No direction word was understood; the status already says so.
        req.status = PortRequest::Unknown;
        return nullptr;
    }
    Port* port;
    switch (req.type) {
    case Port::Null:
        port = new Null_MidiPort(req);
        break;
    case Port::FIFO:
        port = new FIFO_MidiPort(req);
        break;
    default:
        req.status = PortRequest::TypeUnsupported;
        return nullptr;
    }
    // A port that did not open keeps the status that says why.
    if (port->ok()) {
        req.status = PortRequest::OK;
    }
    return port;
}

void PortFactory::add_port_request(std::vector<PortRequest*>& reqs, const std::string& name) {
    PortRequest* req = new PortRequest;
    req->set_devname(name);
    req->set_tagname(name);
    req->mode = O_RDWR;
    req->type = Port::ALSA_RawMidi;
    reqs.push_back(req);
}

} // namespace MIDI
