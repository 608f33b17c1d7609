#pragma once
// A named MIDI connection for input, output or both: a parser per direction
// and sixteen channel states; the concrete kinds move the bytes.

#include <kvo/sigcompat.h>
#include <midi++/types.h>

#include <string>

namespace MIDI {

class Channel;
class Parser;
struct PortRequest;

class Port : public virtual SigC::Object {
  public:
    enum Type { Unknown = 0, ALSA_RawMidi = 1, ALSA_Sequencer = 2, CoreMidi_MidiPort = 3, Null = 4, FIFO = 5 };

    explicit Port(PortRequest& req);
    virtual ~Port();

    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    // Bytes written, or below 0 on failure.
    virtual int write(byte* msg, unsigned long len) = 0;
    // Bytes read (and fed to the input parser), or below 0 on failure.
    virtual int read(byte* buf, unsigned long max) = 0;
    // A descriptor an event loop can wait on, or -1.
    virtual int selectable() const = 0;

    // 0 when every byte went out, 1 otherwise.
    int midimsg(byte* msg, unsigned long len) { return write(msg, len) == int(len) ? 0 : 1; }
    int clock();

    // Channel n (0 to 15), or null for any other n.
    Channel* channel(int n) { return (n >= 0 && n < 16) ? _channel[n] : nullptr; }

    Parser* input() { return input_parser; }
    Parser* output() { return output_parser; }

    const char* device() const { return _devname.c_str(); }
    const char* name() const { return _tagname.c_str(); }
    Type type() const { return _type; }
    int mode() const { return _mode; }
    bool ok() const { return _ok; }
    unsigned long number() const { return _number; }

    unsigned long get_bytes_written() const { return bytes_written; }
    unsigned long get_bytes_read() const { return bytes_read; }

    // Non-zero: the file-descriptor kind writes byte by byte, spinning
    // between bytes for slow hardware.
    void set_slowdown(unsigned long n) { slowdown = n; }

    // Event-loop adapters: one read of up to 64 bytes, which feeds the
    // input parser; the bytes themselves are dropped.
    static void xforms_read_callback(int fd, int, void* port);
    static void gtk_read_callback(void* port, int fd, int);
    static int write_callback(byte* msg, unsigned int len, void* port);

  protected:
    // Hands received or sent bytes to parser p, one by one, between its raw
    // pre- and post-parse signals; nothing when there is no parser.
    static void parse(Parser* p, byte* buf, unsigned long len);

    bool _ok;
    Type _type;
    std::string _devname;
    std::string _tagname;
    int _mode;
    unsigned long _number;
    Channel* _channel[16];
    SigC::Connection thru_connection;
    unsigned int bytes_written;
    unsigned int bytes_read;
    Parser* input_parser;
    Parser* output_parser;
    unsigned int slowdown;

  private:
    static unsigned long nports;
    void read_and_discard();
};

} // namespace MIDI
