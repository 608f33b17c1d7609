#include <midi++/fifomidi.h>

namespace MIDI {

FIFO_MidiPort::FIFO_MidiPort(PortRequest& req) : FD_MidiPort(req, ".", "midi") { _type = FIFO; }

} // namespace MIDI
