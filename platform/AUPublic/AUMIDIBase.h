#pragma once
// MIDI input for a unit: MusicDeviceMIDIEvent arrives here and is handed to
// HandleMidiEvent with the status split from the channel.
#include <CoreFoundation/MacTypes.h>

class AUMIDIBase {
public:
    AUMIDIBase() {}
    virtual ~AUMIDIBase() {}
    AUMIDIBase(const AUMIDIBase&) = delete;
    AUMIDIBase& operator=(const AUMIDIBase&) = delete;

    // paramErr for a status byte below 0x80 or a data byte above 0x7F.
    virtual OSStatus MIDIEvent(UInt32 inStatus, UInt32 inData1, UInt32 inData2, UInt32 inOffsetSampleFrame);

    // status: the upper four bits (0x80 .. 0xF0); channel: the lower four.
    // Ignores the message by default.
    virtual OSStatus HandleMidiEvent(UInt8 status, UInt8 channel, UInt8 data1, UInt8 data2, UInt32 inStartFrame);
};
