#include <midi++/channel.h>
#include <midi++/parser.h>
#include <midi++/port.h>
#include <midi++/port_request.h>

#include <fcntl.h>

namespace MIDI {

unsigned long Port::nports = 0;

namespace {
byte clock_msg = 0xF8;
} // namespace

Port::Port(PortRequest& req)
    : _ok(false), _type(Unknown), _devname(req.devname ? req.devname : ""),
      _tagname(req.tagname ? req.tagname : ""), _mode(req.mode), _number(nports++), bytes_written(0),
      bytes_read(0), input_parser(nullptr), output_parser(nullptr), slowdown(0) {
    if (_mode == O_RDONLY || _mode == O_RDWR) {
        input_parser = new Parser(*this);
    }
    if (_mode == O_WRONLY || _mode == O_RDWR) {
        output_parser = new Parser(*this);
    }
    // A direction the port lacks is passed over by the channel itself.
    for (int i = 0; i < 16; ++i) {
        _channel[i] = new Channel(byte(i), *this);
        _channel[i]->connect_input_signals();
        _channel[i]->connect_output_signals();
    }
}

Port::~Port() {
    for (Channel* c : _channel) {
        delete c;
    }
    delete input_parser;
    delete output_parser;
}

int Port::clock() {
    if (_mode == O_RDONLY) {
        return 0;
    }
    return midimsg(&clock_msg, 1);
}

void Port::parse(Parser* p, byte* buf, unsigned long len) {
    if (!p) {
        return;
    }
    p->raw_preparse(*p, buf, len);
    for (unsigned long i = 0; i < len; i++) {
        p->scanner(buf[i]);
    }
    p->raw_postparse(*p, buf, len);
}

void Port::read_and_discard() {
    byte buf[64];
    read(buf, sizeof(buf));
}

void Port::xforms_read_callback(int, int, void* port) { static_cast<Port*>(port)->read_and_discard(); }

void Port::gtk_read_callback(void* port, int, int) { static_cast<Port*>(port)->read_and_discard(); }

int Port::write_callback(byte* msg, unsigned int len, void* port) { return static_cast<Port*>(port)->write(msg, len); }

} // namespace MIDI
