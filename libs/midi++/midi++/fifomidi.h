#pragma once
// A descriptor port on a named pipe that already exists.

#include <midi++/fd_midiport.h>

namespace MIDI {

class FIFO_MidiPort : public FD_MidiPort {
  public:
    explicit FIFO_MidiPort(PortRequest& req);
};

} // namespace MIDI
