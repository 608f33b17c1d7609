#pragma once
// An effect: one input and one output bus by default (more can be set), input
// bus 0 pulled and output bus 0 prepared before ProcessBufferLists runs.
#include <AUPublic/AUBase.h>

class AUEffectBase : public AUBase {
public:
    AUEffectBase(ComponentInstance audioUnit, bool inProcessesInPlace = true);

    // Bus 0 of both sides: equal, non-zero channel counts and equal rates,
    // else kAudioUnitErr_FormatNotSupported.
    ComponentResult Initialize() override;

    // Pulls input bus 0 (kAudioUnitErr_NoConnection without a source),
    // prepares output bus 0 (or lends it the input's buffers when processing
    // in place) and runs ProcessBufferLists.
    ComponentResult Render(AudioUnitRenderActionFlags& ioActionFlags, const AudioTimeStamp& inTimeStamp,
                           UInt32 nFrames) override;
    virtual OSStatus ProcessBufferLists(AudioUnitRenderActionFlags& ioActionFlags, const AudioBufferList& inBuffer,
                                        AudioBufferList& outBuffer, UInt32 inFramesToProcess) = 0;

    bool ProcessesInPlace() const { return mProcessesInPlace; }

private:
    const bool mProcessesInPlace;
};
