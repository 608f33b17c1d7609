#include "midi_bridge.h"

#include <fcntl.h>
#include <lo/lo.h>
#include <midi++/factory.h>
#include <midi++/parser.h>
#include <midi++/port.h>
#include <midi++/port_request.h>
#include <midi++/types.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "command_map.h"

namespace Quillomat {

namespace {

// A named pipe whose writer has gone reports hang-up, and a plain file end of
// file, on every poll until new data comes: the MIDI thread leaves such a port
// alone this long before looking again, instead of spinning.
const int idle_port_ms = 20;
// Full buffers read per wake-up: a flood must not keep the thread from seeing
// a stop request.
const int max_reads_per_wake = 16;

} // namespace

double uniform_position_to_gain(double x)
{
    // Also catches NaN. Below 0 the eighth root does not exist, and a bound
    // under 0 must mean silence, not NaN in the engine.
    if (!(x > 0.0)) {
        return 0.0;
    }
    const double root8 = std::sqrt(std::sqrt(std::sqrt(x)));
    return std::pow(2.0, (root8 * 198.0 - 198.0) / 6.0);
}

MidiBridge::MidiBridge(std::string name) : _name(std::move(name)), _ok(true) {}

MidiBridge::MidiBridge(std::string name, std::string oscurl, MIDI::PortRequest& req)
    : _name(std::move(name)), _oscurl(std::move(oscurl))
{
    _use_osc = true;
    _addr = lo_address_new_from_url(_oscurl.c_str());
    if (!_addr) {
        fprintf(stderr, "MidiBridge:: addr error %d: not an OSC URL: %s\n", -1, _oscurl.c_str());
        _use_osc = false;
    } else if (lo_address_errno(_addr) < 0) {
        fprintf(stderr, "MidiBridge:: addr error %d: %s\n", lo_address_errno(_addr), lo_address_errstr(_addr));
        _use_osc = false;
    }
    _ok = open_port(req);
}

MidiBridge::MidiBridge(std::string name, MIDI::PortRequest& req) : _name(std::move(name))
{
    _ok = open_port(req);
}

MidiBridge::~MidiBridge()
{
    terminate_midi_thread();
    delete _port;
    for (int& fd : _midi_request_pipe) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
    if (_addr) {
        lo_address_free(_addr);
    }
}

bool MidiBridge::open_port(MIDI::PortRequest& req)
{
    MIDI::PortFactory factory;
    MIDI::Port* port = factory.create_port(req);
    // The factory makes a port even when it failed to open; only ok() tells.
    if (!port || !port->ok()) {
        fprintf(stderr, "MidiBridge: cannot open MIDI port %s\n", req.devname ? req.devname : "");
        delete port;
        return false;
    }
    if (!port->input()) {
        fprintf(stderr, "MidiBridge: MIDI port %s is not open for input\n", port->name());
        delete port;
        return false;
    }
    _port = port;
    // Not tracked: the port, and with it this connection, is always gone
    // before the bridge, and the MIDI thread deletes it.
    _port->input()->any.connect(
        [this](MIDI::Parser& p, MIDI::byte* msg, unsigned long len) { incoming_midi(p, msg, len); });
    if (!init_thread()) {
        delete _port;
        _port = nullptr;
        return false;
    }
    return true;
}

void MidiBridge::inject_midi(unsigned char status, unsigned char data1, unsigned char data2, long frame)
{
    // A note-off is a note-on with velocity 0, so one binding serves both.
    if ((status & 0xF0) == MIDI::off) {
        status = MIDI::on | (status & 0x0F);
        data2 = 0;
    }
    if ((_learning.load() || _getnext.load()) && finish_learn(status, data1)) {
        return;
    }
    queue_midi(status, data1, data2, frame);
}

void MidiBridge::incoming_midi(MIDI::Parser&, unsigned char* msg, unsigned long len)
{
    if (!msg || len == 0) {
        return;
    }
    inject_midi(msg[0], len >= 2 ? msg[1] : 0, len >= 3 ? msg[2] : 0, -1);
}

void MidiBridge::queue_midi(unsigned char status, unsigned char data1, unsigned char data2, long frame)
{
    Kvo::TentativeLockMonitor lm(_bindings_lock, __LINE__, __FILE__);
    if (!lm.locked()) {
        return;
    }
    const MidiBindings::BindingsMap& map = _midi_bindings.bindings_map();
    auto it = map.find((int(status) << 8) | data1);
    if (it != map.end()) {
        for (const MidiBindInfo& b : it->second) {
            float value = (data2 / 127.0f) * (b.ubound - b.lbound) + b.lbound;
            if (b.style == MidiBindInfo::GainStyle) {
                value = float(uniform_position_to_gain(value));
            }
            send_event(b, value, frame);
        }
        return;
    }
    Event::control_t sync;
    const char* path;
    switch (status) {
    case MIDI::start:
        sync = Event::MidiStart;
        path = "/qm/midi_start";
        break;
    case MIDI::stop:
        sync = Event::MidiStop;
        path = "/qm/midi_stop";
        break;
    case MIDI::timing:
        sync = Event::MidiTick;
        path = "/qm/midi_tick";
        break;
    default:
        return;
    }
    if (_use_osc && lo_send(_addr, path, "") < 0) {
        fprintf(stderr, "OSC error %d: %s\n", lo_address_errno(_addr), lo_address_errstr(_addr));
    }
    MidiSyncEvent.emit_rt(sync, frame);
}

void MidiBridge::send_event(const MidiBindInfo& b, float value, long frame)
{
    const CommandMap& cm = CommandMap::instance();
    Event::type_t type = cm.to_type_t(b.command);
    const int8_t instance = int8_t(b.instance);
    if (b.command == "set") {
        MidiControlEvent.emit_rt(type, cm.to_control_t(b.control), value, instance, frame);
        echo_osc(instance, "set", b.control, &value);
        return;
    }
    const char* word = b.command.c_str();
    if (b.command == "note") {
        type = value > 0.0f ? Event::type_cmd_down : Event::type_cmd_up;
        word = value > 0.0f ? "down" : "up";
    } else if (b.command == "susnote") {
        type = value > 0.0f ? Event::type_cmd_down : Event::type_cmd_upforce;
        word = value > 0.0f ? "down" : "upforce";
    }
    MidiCommandEvent.emit_rt(type, cm.to_command_t(b.control), instance, frame);
    echo_osc(instance, word, b.control, nullptr);
}

void MidiBridge::echo_osc(int instance, const char* word, const std::string& control, const float* value)
{
    if (!_use_osc) {
        return;
    }
    char path[99];
    snprintf(path, sizeof(path), "/qm/%d/%s", instance, word);
    const int sent = value ? lo_send(_addr, path, "sf", control.c_str(), *value)
                           : lo_send(_addr, path, "s", control.c_str());
    if (sent < 0) {
        fprintf(stderr, "OSC error %d: %s\n", lo_address_errno(_addr), lo_address_errstr(_addr));
    }
}

bool MidiBridge::finish_learn(unsigned char status, unsigned char data1)
{
    // Clock, start, stop and the like cannot be bound: they go on as usual
    // (a running clock keeps the sync), and the learn waits for one that can.
    // Only the constant type table is read here, so no lock is needed yet.
    int channel = 0;
    std::string type;
    if (!_midi_bindings.get_channel_and_type(status, channel, type)) {
        return false;
    }
    // Busy: this message is lost to the learn, which then takes the next one.
    Kvo::TentativeLockMonitor bl(_bindings_lock, __LINE__, __FILE__);
    if (!bl.locked()) {
        return true;
    }
    Kvo::TentativeLockMonitor ll(_learn_lock, __LINE__, __FILE__);
    if (!ll.locked()) {
        return true;
    }
    if (_learning.load()) {
        _learninfo.channel = channel;
        _learninfo.type = type;
        _learninfo.param = data1;
        if (CommandMap::instance().is_command(_learninfo.control)) {
            _learninfo.command = type == "pc" ? "hit" : "note";
        }
        BindingLearned.emit_rt(_learninfo);
        _learning.store(false);
    } else if (_getnext.load()) {
        MidiBindInfo info;
        info.channel = channel;
        info.type = type;
        info.param = data1;
        NextMidiReceived.emit_rt(info);
        _getnext.store(false);
    }
    return true;
}

void MidiBridge::start_learn(const MidiBindInfo& info, bool exclusive)
{
    (void)exclusive;
    Kvo::LockMonitor lm(_learn_lock, __LINE__, __FILE__);
    _learninfo = info;
    _learning.store(true);
}

void MidiBridge::cancel_learn()
{
    Kvo::LockMonitor lm(_learn_lock, __LINE__, __FILE__);
    _learning.store(false);
}

void MidiBridge::start_get_next()
{
    Kvo::LockMonitor lm(_learn_lock, __LINE__, __FILE__);
    _getnext.store(true);
}

void MidiBridge::cancel_get_next()
{
    Kvo::LockMonitor lm(_learn_lock, __LINE__, __FILE__);
    _getnext.store(false);
}

bool MidiBridge::init_thread()
{
    // Close-on-exec: the editor view starts child processes. Non-blocking:
    // the thread drains the pipe to empty, and a full pipe must not hold up
    // a poke.
    if (pipe2(_midi_request_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        fprintf(stderr, "Cannot create midi request signal pipe %s\n", strerror(errno));
        _midi_request_pipe[0] = _midi_request_pipe[1] = -1;
        return false;
    }
    const int err = pthread_create(&_midi_thread, nullptr, &MidiBridge::midi_thread_entry, this);
    if (err != 0) {
        fprintf(stderr, "MidiBridge: cannot start the MIDI thread: %s\n", strerror(err));
        return false;
    }
    _thread_started = true;
    return true;
}

void* MidiBridge::midi_thread_entry(void* arg)
{
    static_cast<MidiBridge*>(arg)->midi_thread_work();
    return nullptr;
}

void MidiBridge::midi_thread_work()
{
    unsigned char buf[512];
    const int portfd = _port->selectable();
    bool resting = false;
    while (!_done.load()) {
        pollfd pfd[2] = {};
        pfd[0].fd = _midi_request_pipe[0];
        pfd[0].events = POLLIN | POLLERR | POLLHUP;
        nfds_t nfds = 1;
        if (portfd >= 0 && !resting) {
            pfd[1].fd = portfd;
            pfd[1].events = POLLIN | POLLERR | POLLHUP;
            nfds = 2;
        }
        const int r = poll(pfd, nfds, resting ? idle_port_ms : -1);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            fprintf(stderr, "MIDI thread poll failed: %s\n", strerror(errno));
            break;
        }
        if (_done.load()) {
            break;
        }
        if (pfd[0].revents & ~POLLIN) {
            fprintf(stderr, "Transport: error polling extra MIDI port\n");
            break;
        }
        if (pfd[0].revents & POLLIN) {
            while (read(_midi_request_pipe[0], buf, sizeof(buf)) > 0) {
            }
        }
        if (r == 0) {
            resting = false;
            continue;
        }
        if (nfds == 2 && pfd[1].revents) {
            const int got = read_port(buf, sizeof(buf));
            if (got < 0) {
                fprintf(stderr, "Error reading from midi port\n");
                _done.store(true);
            }
            resting = got == 0;
        }
    }
    delete _port;
    _port = nullptr;
}

// 1: read what there was, 0: the port is at its end (no writer), -1: failed.
// The port's parser hands every whole message to incoming_midi meanwhile.
int MidiBridge::read_port(unsigned char* buf, unsigned long size)
{
    for (int i = 0; i < max_reads_per_wake && !_done.load(); ++i) {
        const int n = _port->read(buf, size);
        if (n == int(size)) {
            continue;
        }
        if (n > 0) {
            return 1;
        }
        if (n == 0) {
            return 0;
        }
        return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 1 : -1;
    }
    return 1;
}

void MidiBridge::poke_midi_thread()
{
    const char c = 0;
    ssize_t n;
    do {
        n = write(_midi_request_pipe[1], &c, 1);
    } while (n < 0 && errno == EINTR);
    // A full pipe wakes the thread as well.
    if (n < 0 && errno != EAGAIN) {
        fprintf(stderr, "cannot send signal to midi thread! %s\n", strerror(errno));
    }
}

void MidiBridge::terminate_midi_thread()
{
    if (!_thread_started) {
        return;
    }
    _done.store(true);
    poke_midi_thread();
    pthread_join(_midi_thread, nullptr);
    _thread_started = false;
}

} // namespace Quillomat
