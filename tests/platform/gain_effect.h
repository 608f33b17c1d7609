#pragma once
// A small effect that drives the Audio Unit base classes the way a real
// plug-in does, for tests. Two buses: each output is its input times the gain.
// MIDI control change 7 sets the gain (value / 127) from its frame on.
// Parameters (global): 0 "Port" (read-only, 4242 once initialised), 1 "Gain"
// (0..2), 2 "Tempo" and 3 "Beat" (read-only, the host's answers at the last
// render). Properties 70000 (a label) and the GUI path (read and written by
// the editor view): C strings. The port and the GUI path are the looper's own
// numbers, so its editor view works on this effect. The saved state adds the
// number of MIDI messages received under "TestMidiCount".
#include <AUPublic/AUMIDIEffectBase.h>

#include <string>

#include "QuillomatAUShared.h"

enum {
    kGainParam_Port = kQuillomatOSCPortParameter,
    kGainParam_Gain = 1,
    kGainParam_Tempo = 2,
    kGainParam_Beat = 3,
    kGainParamCount = 4,
    kGainLabelProperty = 70000,
    kGainAppPathProperty = kQuillomatAppPathProperty
};

class TestGainEffect : public AUMIDIEffectBase {
public:
    explicit TestGainEffect(ComponentInstance inInstance);

    ComponentResult Initialize() override;
    void Cleanup() override;
    OSStatus ProcessBufferLists(AudioUnitRenderActionFlags& ioActionFlags, const AudioBufferList& inBuffer,
                                AudioBufferList& outBuffer, UInt32 inFramesToProcess) override;
    ComponentResult Render(AudioUnitRenderActionFlags& ioActionFlags, const AudioTimeStamp& inTimeStamp,
                           UInt32 nFrames) override;
    OSStatus HandleMidiEvent(UInt8 status, UInt8 channel, UInt8 data1, UInt8 data2, UInt32 inStartFrame) override;

    ComponentResult GetParameterInfo(AudioUnitScope inScope, AudioUnitParameterID inParameterID,
                                     AudioUnitParameterInfo& outParameterInfo) override;
    ComponentResult GetPropertyInfo(AudioUnitPropertyID inID, AudioUnitScope inScope, AudioUnitElement inElement,
                                    UInt32& outDataSize, Boolean& outWritable) override;
    ComponentResult GetProperty(AudioUnitPropertyID inID, AudioUnitScope inScope, AudioUnitElement inElement,
                                void* outData) override;
    ComponentResult SetProperty(AudioUnitPropertyID inID, AudioUnitScope inScope, AudioUnitElement inElement,
                                const void* inData, UInt32 inDataSize) override;
    ComponentResult SaveState(CFPropertyListRef* outData) override;
    ComponentResult RestoreState(CFPropertyListRef inData) override;

    ComponentResult Version() override { return 0x00010000; }
    int GetNumCustomUIComponents() override { return 1; }
    void GetUIComponentDescs(ComponentDescription* inDescArray) override;

private:
    struct GainChange {
        UInt32 frame;
        float gain;
    };
    static const int kMaxChanges = 64;

    GainChange mChanges[kMaxChanges];
    int mChangeCount = 0;
    long mMidiCount = 0;
    std::string mLabel;
    std::string mAppPath;
};
