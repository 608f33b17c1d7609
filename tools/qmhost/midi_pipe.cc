#include "midi_pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <midi++/factory.h>
#include <midi++/parser.h>
#include <midi++/port.h>
#include <midi++/port_request.h>

namespace qmhost {
namespace {

// Room for far more than a player sends between two render calls.
const size_t kQueueSize = 4096;
// How long to wait before looking for a new writer once the last one left.
const int kRestMs = 50;

double now_seconds()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

const char* status_reason(MIDI::PortRequest::Status s)
{
    switch (s) {
    case MIDI::PortRequest::NoSuchFile: return "no such file (make it with mkfifo)";
    case MIDI::PortRequest::NotAllowed: return "permission denied";
    case MIDI::PortRequest::Busy: return "in use";
    default: return "cannot open it";
    }
}

} // namespace

PipeMidiSource::PipeMidiSource() : _queue(kQueueSize) {}

PipeMidiSource::~PipeMidiSource() { stop(); }

bool PipeMidiSource::open(const std::string& path, std::string& error)
{
    MIDI::PortRequest req(path, "qmhost", "input", "FIFO");
    MIDI::PortFactory factory;
    _port.reset(factory.create_port(req));
    if (!_port || !_port->ok() || !_port->input()) {
        error = "cannot read MIDI from " + path + ": " + status_reason(req.status);
        _port.reset();
        return false;
    }
    // A folder opens as any file does and fails only at its first read.
    struct stat st;
    if (fstat(_port->selectable(), &st) == 0 && S_ISDIR(st.st_mode)) {
        error = "cannot read MIDI from " + path + ": a directory, not a named pipe";
        _port.reset();
        return false;
    }
    _port->input()->any.connect(
        [this](MIDI::Parser& p, MIDI::byte* msg, unsigned long len) { on_message(p, msg, len); });
    if (pipe2(_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("cannot read MIDI from " + path + ": ") + std::strerror(errno);
        return false;
    }
    if (pthread_create(&_thread, nullptr, &PipeMidiSource::reader_entry, this) != 0) {
        error = "cannot read MIDI from " + path + ": no thread";
        return false;
    }
    _running = true;
    return true;
}

void PipeMidiSource::stop()
{
    if (_running) {
        _done.store(true);
        const char c = 0;
        while (write(_wake[1], &c, 1) < 0 && errno == EINTR) {
        }
        pthread_join(_thread, nullptr);
        _running = false;
    }
    for (int& fd : _wake) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    _port.reset();
}

void* PipeMidiSource::reader_entry(void* self)
{
    static_cast<PipeMidiSource*>(self)->reader();
    return nullptr;
}

void PipeMidiSource::reader()
{
    const int fd = _port->selectable();
    unsigned char buf[256];
    bool resting = false;
    while (!_done.load()) {
        pollfd p[2] = {{_wake[0], POLLIN, 0}, {fd, POLLIN, 0}};
        const int r = poll(p, resting || fd < 0 ? 1 : 2, resting ? kRestMs : -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "qmhost: MIDI pipe: %s\n", std::strerror(errno));
            return;
        }
        if (_done.load()) return;
        if (r == 0) {
            resting = false;
            continue;
        }
        if (!resting && p[1].revents) {
            // The port's parser hands each whole message to on_message.
            const int n = _port->read(buf, sizeof buf);
            if (n == 0) {
                resting = true;  // no writer at the moment; one may come
            } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                std::fprintf(stderr, "qmhost: MIDI pipe: %s\n", std::strerror(errno));
                return;
            }
        }
    }
}

void PipeMidiSource::on_message(MIDI::Parser&, unsigned char* msg, unsigned long len)
{
    // A MIDI event call carries a status byte and at most two data bytes;
    // anything else (system exclusive) is dropped, as is what finds the queue
    // full.
    if (!msg || len == 0 || len > 3 || msg[0] < 0x80 || msg[0] == 0xF0) return;
    Stamped s = {now_seconds(), {msg[0], len > 1 ? msg[1] : (unsigned char)0, len > 2 ? msg[2] : (unsigned char)0}};
    _queue.write(&s, 1);
}

void PipeMidiSource::deliver(AudioUnit unit, uint64_t, uint32_t frames)
{
    const double now = now_seconds();
    const double prev = _last_deliver;
    _last_deliver = now;
    Stamped s;
    while (_queue.read(&s, 1) == 1) {
        // Where it fell between the last two calls is where it lands in this one.
        uint32_t offset = 0;
        if (prev >= 0.0 && now > prev && s.when > prev && frames > 0) {
            const double at = (s.when - prev) / (now - prev) * (double)frames;
            offset = at >= (double)(frames - 1) ? frames - 1 : (uint32_t)at;
        }
        OSStatus err = MusicDeviceMIDIEvent(unit, s.bytes[0], s.bytes[1], s.bytes[2], offset);
        if (err != noErr)
            std::fprintf(stderr, "qmhost: the plug-in refused a MIDI message from the pipe: %s\n",
                         status_text(err).c_str());
    }
}

} // namespace qmhost
