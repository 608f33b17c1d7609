#pragma once
// Test seams for the MIDI port library: a port that keeps what is written
// to it, a recorder of the message channels, byte-list helpers and a
// scratch directory.

#include <midi++/parser.h>
#include <midi++/port.h>
#include <midi++/port_request.h>

#include <kvo/transmitter.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace qmtest {

typedef std::vector<MIDI::byte> Bytes;

inline std::string hex(const MIDI::byte* msg, unsigned long len) {
    std::string s;
    char b[4];
    for (unsigned long i = 0; i < len; ++i) {
        std::snprintf(b, sizeof(b), i ? " %02x" : "%02x", msg[i]);
        s += b;
    }
    return s;
}
inline std::string hex(const Bytes& b) { return hex(b.data(), b.size()); }

// Keeps every byte written; accepts at most `accept` bytes per write.
class RecordingPort : public MIDI::Port {
  public:
    explicit RecordingPort(int mode, const char* tag = "rec") : MIDI::Port(request(mode, tag)) { _ok = true; }

    int write(MIDI::byte* msg, unsigned long len) override {
        const unsigned long n = len < accept ? len : accept;
        written.insert(written.end(), msg, msg + n);
        return int(n);
    }
    int read(MIDI::byte*, unsigned long) override { return 0; }
    int selectable() const override { return -1; }

    void feed(std::initializer_list<int> bytes) {
        for (int b : bytes) {
            input()->scanner(MIDI::byte(b));
        }
    }

    Bytes written;
    unsigned long accept = ~0UL;

  private:
    static MIDI::PortRequest& request(int mode, const char* tag) {
        static MIDI::PortRequest req;
        req.set_devname(tag);
        req.set_tagname(tag);
        req.mode = mode;
        return req;
    }
};

// Collects what reaches the program-wide message channels.
struct ChannelRecorder : public SigC::Object {
    std::vector<std::pair<Transmitter::Channel, std::string>> heard;
    ChannelRecorder() {
        for (Transmitter* t : {&Kvo::info, &Kvo::error, &Kvo::warning}) {
            t->sender().connect(SigC::slot(*this, &ChannelRecorder::receive));
        }
    }
    void receive(Transmitter::Channel c, const char* text) { heard.emplace_back(c, text); }
    bool heard_text(const std::string& text) const {
        for (auto& h : heard) {
            if (h.second == text) {
                return true;
            }
        }
        return false;
    }
};

// A fresh directory under /tmp, removed with everything in it.
struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/qm_midi_XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string fifo(const std::string& name) const {
        const std::string p = path + "/" + name;
        mkfifo(p.c_str(), 0600);
        return p;
    }
};

} // namespace qmtest
