#include <midi++/coremidi_midiport.h>
#include <midi++/port_request.h>

#include <mach/mach_time.h>

#include <string>

namespace MIDI {

namespace {
// Names go to CoreMIDI as CFStrings, released once it has them.
struct Name {
    CFStringRef ref;
    explicit Name(const std::string& s)
        : ref(CFStringCreateWithCString(kCFAllocatorDefault, s.c_str(), CFStringGetSystemEncoding())) {}
    ~Name() {
        if (ref) {
            CFRelease(ref);
        }
    }
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;
};
} // namespace

CoreMidi_MidiPort::CoreMidi_MidiPort(PortRequest& req)
    : Port(req), midi_client(0), midi_destination(0), midi_source(0) {
    _type = Port::CoreMidi_MidiPort;
    if (Open(req) == noErr) {
        _ok = true;
        req.status = PortRequest::OK;
    } else {
        req.status = PortRequest::Unknown;
    }
}

CoreMidi_MidiPort::~CoreMidi_MidiPort() { Close(); }

OSStatus CoreMidi_MidiPort::Open(PortRequest& req) {
    OSStatus err = MIDIClientCreate(Name(req.devname ? req.devname : "").ref, nullptr, nullptr, &midi_client);
    if (err == noErr) {
        err = MIDIDestinationCreate(midi_client, Name(_tagname + "_in").ref, read_proc, this, &midi_destination);
    }
    if (err == noErr) {
        err = MIDISourceCreate(midi_client, Name(_tagname + "_out").ref, &midi_source);
    }
    if (err != noErr) {
        Close();
    }
    return err;
}

void CoreMidi_MidiPort::Close() {
    if (midi_destination) {
        MIDIEndpointDispose(midi_destination);
        midi_destination = 0;
    }
    if (midi_source) {
        MIDIEndpointDispose(midi_source);
        midi_source = 0;
    }
    if (midi_client) {
        MIDIClientDispose(midi_client);
        midi_client = 0;
    }
}

MIDITimeStamp CoreMidi_MidiPort::MIDIGetCurrentHostTime() { return mach_absolute_time(); }

int CoreMidi_MidiPort::write(byte* msg, unsigned long len) {
    MIDIPacketList* list = reinterpret_cast<MIDIPacketList*>(midi_buffer);
    MIDIPacket* packet = MIDIPacketListInit(list);
    packet = MIDIPacketListAdd(list, sizeof(midi_buffer), packet, MIDIGetCurrentHostTime(), len, msg);
    if (!packet) {
        return 0;
    }
    MIDIReceived(midi_source, list);
    bytes_written += (unsigned int)len;
    return int(len);
}

void CoreMidi_MidiPort::read_proc(const MIDIPacketList* pktlist, void* port, void*) {
    CoreMidi_MidiPort* self = static_cast<CoreMidi_MidiPort*>(port);
    const MIDIPacket* packet = &pktlist->packet[0];
    for (UInt32 i = 0; i < pktlist->numPackets; ++i) {
        self->bytes_read += packet->length;
        parse(self->input_parser, const_cast<byte*>(packet->data), packet->length);
        packet = MIDIPacketNext(packet);
    }
}

} // namespace MIDI
