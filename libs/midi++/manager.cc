#include <midi++/channel.h>
#include <midi++/factory.h>
#include <midi++/manager.h>
#include <midi++/port_request.h>

#include <kvo/basename.h>
#include <kvo/transmitter.h>

#include <fcntl.h>

#include <vector>

namespace MIDI {

using Kvo::error;

Manager* Manager::theManager = nullptr;

Manager::Manager() : inputPort(nullptr), outputPort(nullptr), inputChannelNumber(0), outputChannelNumber(0) {}

Manager::~Manager() {
    for (auto& entry : ports_by_device) {
        delete entry.second;
    }
    ports_by_device.clear();
    ports_by_tag.clear();
    if (theManager == this) {
        theManager = nullptr;
    }
}

Manager* Manager::instance() {
    if (!theManager) {
        theManager = new Manager;
    }
    return theManager;
}

Port* Manager::add_port(PortRequest& req) {
    const std::string device = req.devname ? req.devname : "";
    const std::string tag = req.tagname ? req.tagname : "";

    auto range = ports_by_device.equal_range(device);
    for (auto i = range.first; i != range.second; ++i) {
        Port* open = i->second;
        if (open->mode() == req.mode) {
            ports_by_tag.insert(PortMap::value_type(tag, open));
            return open;
        }
    }
    for (auto i = range.first; i != range.second; ++i) {
        if ((i->second->mode() == O_RDWR) != (req.mode == O_RDWR)) {
            error << "MIDIManager: port tagged \"" << tag << "\" cannot be opened duplex and non-duplex" << endmsg;
            return nullptr;
        }
    }

    PortFactory factory;
    Port* p = factory.create_port(req);
    if (!p) {
        return nullptr;
    }
    if (!p->ok()) {
        delete p;
        return nullptr;
    }
    return register_port(p);
}

Port* Manager::register_port(Port* p) {
    ports_by_tag.insert(PortMap::value_type(p->name(), p));
    ports_by_device.insert(DeviceMap::value_type(p->device(), p));
    if (!inputPort) {
        inputPort = p;
    }
    if (!outputPort) {
        outputPort = p;
    }
    return p;
}

int Manager::remove_port(const char* device) {
    auto range = ports_by_device.equal_range(device ? device : "");
    if (range.first == range.second) {
        return -1;
    }
    std::vector<Port*> doomed;
    for (auto i = range.first; i != range.second; ++i) {
        doomed.push_back(i->second);
    }
    ports_by_device.erase(range.first, range.second);

    for (Port* p : doomed) {
        for (auto t = ports_by_tag.begin(); t != ports_by_tag.end();) {
            t = t->second == p ? ports_by_tag.erase(t) : std::next(t);
        }
        if (inputPort == p) {
            inputPort = nullptr;
        }
        if (outputPort == p) {
            outputPort = nullptr;
        }
        delete p;
    }
    return 0;
}

namespace {
// 0 with p stored in slot, or -1 when no port was found.
int choose(Port*& slot, Port* p) {
    if (!p) {
        return -1;
    }
    slot = p;
    return 0;
}
} // namespace

int Manager::set_input_port(const char* tag) { return choose(inputPort, port(tag ? tag : "")); }

int Manager::set_input_port(unsigned long number) { return choose(inputPort, port(number)); }

int Manager::set_output_port(const char* tag) {
    Port* p = port(tag ? tag : "");
    // Whatever sounds on the old port must not hang on.
    if (p && outputPort) {
        for (int ch = 0; ch < 16; ch++) {
            outputPort->channel(ch)->all_notes_off();
        }
    }
    return choose(outputPort, p);
}

int Manager::set_output_port(unsigned long number) { return choose(outputPort, port(number)); }

Port* Manager::port(const std::string& tag) {
    auto i = ports_by_tag.find(tag);
    return i == ports_by_tag.end() ? nullptr : i->second;
}

Port* Manager::port(unsigned long number) {
    for (auto& entry : ports_by_tag) {
        if (entry.second->number() == number) {
            return entry.second;
        }
    }
    return nullptr;
}

int Manager::foreach_port(int (*fn)(const Port&, unsigned long, void*), void* arg) {
    unsigned long index = 0;
    for (auto& entry : ports_by_device) {
        if (int r = fn(*entry.second, index++, arg)) {
            return r;
        }
    }
    return 0;
}

int Manager::parse_port_request(const std::string& spec, Port::Type kind) {
    if (spec.empty()) {
        error << "MIDI: missing port specification" << endmsg;
        return -1;
    }
    PortRequest req;
    const std::string::size_type colon = spec.find(':');
    req.set_devname(spec.substr(0, colon));
    req.mode = O_RDWR;
    if (colon != std::string::npos) {
        const std::string rest = spec.substr(colon + 1);
        const std::string::size_type second = rest.find(':');
        req.set_tagname(rest.substr(0, second));
        if (second != std::string::npos) {
            const std::string mode = rest.substr(second + 1);
            req.mode = mode == "r" ? O_RDONLY : mode == "w" ? O_WRONLY : O_RDWR;
        }
    } else {
        req.set_tagname(Kvo::basename(std::string(req.devname)));
    }
    req.type = kind;
    return instance()->add_port(req) ? 0 : -1;
}

} // namespace MIDI
