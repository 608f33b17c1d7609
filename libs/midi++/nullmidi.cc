#include <midi++/nullmidi.h>

namespace MIDI {

Null_MidiPort::Null_MidiPort(PortRequest& req) : Port(req) {
    _devname = "nullmidi";
    _tagname = "null";
    _type = Null;
    _ok = true;
}

} // namespace MIDI
