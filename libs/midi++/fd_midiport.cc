#include <midi++/fd_midiport.h>
#include <midi++/port_request.h>

#include <kvo/pathscanner.h>
#include <kvo/transmitter.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace MIDI {

using Kvo::error;

std::string* FD_MidiPort::midi_dirpath = nullptr;
std::string* FD_MidiPort::midi_filename_pattern = nullptr;

FD_MidiPort::FD_MidiPort(PortRequest& req, const std::string& dirpath, const std::string& pattern)
    : Port(req), _fd(-1) {
    // The base open even for derived kinds: they are not built yet.
    FD_MidiPort::open(req);

    if (_fd < 0) {
        switch (errno) {
        case EACCES:
            error << "MIDI: access to port denied" << endmsg;
            req.status = PortRequest::NotAllowed;
            break;
        case ENOENT:
            error << "MIDI: no such port device" << endmsg;
            req.status = PortRequest::NoSuchFile;
            break;
        case EBUSY:
            error << "MIDI: port device in use" << endmsg;
            req.status = PortRequest::Busy;
            break;
        default:
            req.status = PortRequest::Unknown;
            break;
        }
        return;
    }

    _ok = true;
    req.status = PortRequest::OK;
    if (!midi_dirpath) {
        midi_dirpath = new std::string(dirpath);
        midi_filename_pattern = new std::string(pattern);
    }
}

FD_MidiPort::~FD_MidiPort() {
    if (_fd >= 0) {
        ::close(_fd);
    }
}

void FD_MidiPort::open(PortRequest& req) {
    if (req.mode != O_RDONLY && req.mode != O_WRONLY && req.mode != O_RDWR) {
        _fd = -1;
        errno = EINVAL;
        return;
    }
    _fd = ::open(req.devname ? req.devname : "", req.mode | O_NONBLOCK | O_CLOEXEC);
}

int FD_MidiPort::selectable() const {
    int flags = -1;
    if (_fd < 0) {
        errno = EBADF;
    } else {
        flags = fcntl(_fd, F_GETFL);
    }
    if (flags < 0 || fcntl(_fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        error << "FD_MidiPort: could not turn on non-blocking mode"
              << " (" << std::strerror(errno) << ")" << endmsg;
        return -1;
    }
    return _fd;
}

int FD_MidiPort::write(byte* msg, unsigned long len) {
    if (_mode == O_RDONLY) {
        return -EACCES;
    }
    if (slowdown) {
        return do_slow_write(msg, (unsigned int)len);
    }
    const ssize_t n = ::write(_fd, msg, len);
    if (n > 0) {
        bytes_written += (unsigned int)n;
        parse(output_parser, msg, (unsigned long)n);
    }
    return int(n);
}

int FD_MidiPort::do_slow_write(byte* msg, unsigned int len) {
    unsigned int i = 0;
    for (; i < len; i++) {
        if (::write(_fd, &msg[i], 1) != 1) {
            break;
        }
        bytes_written++;
        // Slow hardware needs a gap between bytes; a sleep would be far
        // longer than it needs.
        for (volatile unsigned long spin = 0; spin < slowdown * 10000UL; spin = spin + 1) {
        }
    }
    if (i > 0) {
        parse(output_parser, msg, i);
    }
    return int(i);
}

int FD_MidiPort::read(byte* buf, unsigned long max) {
    if (_mode == O_WRONLY) {
        return -EACCES;
    }
    const ssize_t n = ::read(_fd, buf, max);
    if (n > 0) {
        bytes_read += (unsigned int)n;
        parse(input_parser, buf, (unsigned long)n);
    }
    return int(n);
}

std::vector<std::string*>* FD_MidiPort::list_devices() {
    if (!midi_dirpath) {
        return nullptr;
    }
    PathScanner scanner;
    return scanner(*midi_dirpath, *midi_filename_pattern, false, true);
}

} // namespace MIDI
