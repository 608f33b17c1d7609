#pragma once
// A port that reads and writes a device or file through a POSIX descriptor.

#include <midi++/port.h>

#include <string>
#include <vector>

namespace MIDI {

class FD_MidiPort : public Port {
  public:
    FD_MidiPort(PortRequest& req, const std::string& dirpath, const std::string& pattern);
    ~FD_MidiPort() override;

    int write(byte* msg, unsigned long len) override;
    int read(byte* buf, unsigned long max) override;
    // Turns on non-blocking mode and returns the descriptor, or -1.
    int selectable() const override;

    // The devices in the directory, matching the file-name pattern, that
    // the first port to open successfully was given; null before then.
    // The caller owns the list and its strings.
    static std::vector<std::string*>* list_devices();

  protected:
    int _fd;
    virtual void open(PortRequest& req);

  private:
    static std::string* midi_dirpath;
    static std::string* midi_filename_pattern;
    int do_slow_write(byte* msg, unsigned int len);
};

} // namespace MIDI
