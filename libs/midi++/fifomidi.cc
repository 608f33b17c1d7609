#include <midi++/fifomidi.h>
#include <midi++/port_request.h>

namespace MIDI {

FIFO_MidiPort::FIFO_MidiPort(PortRequest& req) : FD_MidiPort(req, ".", "midi") { _type = FIFO; }

void FIFO_MidiPort::open(PortRequest& req) { FD_MidiPort::open(req); }

} // namespace MIDI
