#pragma once
// A port that takes everything and sends nothing.

#include <midi++/port.h>

namespace MIDI {

class Null_MidiPort : public Port {
  public:
    explicit Null_MidiPort(PortRequest& req);

    int write(byte*, unsigned long len) override { return int(len); }
    int read(byte*, unsigned long) override { return 0; }
    int selectable() const override { return -1; }
};

} // namespace MIDI
