#pragma once
// MIDI into an Audio Unit.
#include <AudioUnit/AUComponent.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef AudioUnit MusicDeviceComponent;

enum {
    kMusicDeviceMIDIEventSelect = 0x0101
};

// One channel message: a status byte (0x80..0xFF) and data bytes 0..0x7F,
// at a frame offset into the next render call.
OSStatus MusicDeviceMIDIEvent(MusicDeviceComponent inUnit, UInt32 inStatus, UInt32 inData1, UInt32 inData2,
                              UInt32 inOffsetSampleFrame);

#ifdef __cplusplus
}
#endif
