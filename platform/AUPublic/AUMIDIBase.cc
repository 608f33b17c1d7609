#include <AUPublic/AUMIDIBase.h>

OSStatus AUMIDIBase::MIDIEvent(UInt32 inStatus, UInt32 inData1, UInt32 inData2, UInt32 inOffsetSampleFrame)
{
    if (inStatus < 0x80 || inStatus > 0xFF || inData1 > 0x7F || inData2 > 0x7F) return paramErr;
    return HandleMidiEvent((UInt8)(inStatus & 0xF0), (UInt8)(inStatus & 0x0F), (UInt8)inData1, (UInt8)inData2,
                           inOffsetSampleFrame);
}

OSStatus AUMIDIBase::HandleMidiEvent(UInt8, UInt8, UInt8, UInt8, UInt32) { return noErr; }
