#pragma once
// A port published through CoreMIDI as a virtual destination (tag + "_in")
// and a virtual source (tag + "_out"), so other applications see it as a
// MIDI device.

#include <midi++/port.h>

#include <CoreMIDI/CoreMIDI.h>

namespace MIDI {

class CoreMidi_MidiPort : public Port {
  public:
    explicit CoreMidi_MidiPort(PortRequest& req);
    ~CoreMidi_MidiPort() override;

    // Sends one packet: len, or 0 when it does not fit the packet list.
    int write(byte* msg, unsigned long len) override;
    // Bytes arrive through CoreMIDI's callback, never through read.
    int read(byte*, unsigned long) override { return 0; }
    int selectable() const override { return -1; }

    static MIDITimeStamp MIDIGetCurrentHostTime();

  protected:
    OSStatus Open(PortRequest& req);
    void Close();
    static void read_proc(const MIDIPacketList* pktlist, void* port, void* src);

  private:
    alignas(MIDIPacketList) byte midi_buffer[1024];
    MIDIClientRef midi_client;
    MIDIEndpointRef midi_destination;
    MIDIEndpointRef midi_source;
};

} // namespace MIDI
