#include <AUPublic/AUEffectBase.h>

AUEffectBase::AUEffectBase(ComponentInstance audioUnit, bool inProcessesInPlace)
    : AUBase(audioUnit, 1, 1), mProcessesInPlace(inProcessesInPlace)
{
}

ComponentResult AUEffectBase::Initialize()
{
    const CAStreamBasicDescription& in = GetStreamFormat(kAudioUnitScope_Input, 0);
    const CAStreamBasicDescription& out = GetStreamFormat(kAudioUnitScope_Output, 0);
    if (out.NumberChannels() == 0 || in.NumberChannels() != out.NumberChannels() ||
        in.mSampleRate != out.mSampleRate)
        return kAudioUnitErr_FormatNotSupported;
    return noErr;
}

ComponentResult AUEffectBase::Render(AudioUnitRenderActionFlags& ioActionFlags, const AudioTimeStamp& inTimeStamp,
                                     UInt32 nFrames)
{
    if (!HasInput(0)) return kAudioUnitErr_NoConnection;
    AUInputElement* in = GetInput(0);
    AUOutputElement* out = GetOutput(0);
    if (!out) return kAudioUnitErr_InvalidElement;
    OSStatus err = in->PullInput(ioActionFlags, inTimeStamp, 0, nFrames);
    if (err != noErr) return err;
    if (ProcessesInPlace() && in->NumberChannels() == out->NumberChannels())
        out->SetBufferList(in->GetBufferList());
    else
        out->PrepareBuffer(nFrames);
    return ProcessBufferLists(ioActionFlags, in->GetBufferList(), out->GetBufferList(), nFrames);
}
