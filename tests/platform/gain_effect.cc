#include "gain_effect.h"

#include <cstring>

COMPONENT_ENTRY(TestGainEffect)

TestGainEffect::TestGainEffect(ComponentInstance inInstance) : AUMIDIEffectBase(inInstance, false)
{
    CreateElements();
    Globals()->UseIndexedParameters(kGainParamCount);
    SetParameter(kGainParam_Gain, 1.0f);
    SetBusCount(kAudioUnitScope_Input, 2);
    SetBusCount(kAudioUnitScope_Output, 2);
}

ComponentResult TestGainEffect::Initialize()
{
    ComponentResult err = AUMIDIEffectBase::Initialize();
    if (err != noErr) return err;
    SetParameter(kGainParam_Port, 4242.0f);
    mChangeCount = 0;
    return noErr;
}

void TestGainEffect::Cleanup() { SetParameter(kGainParam_Port, 0.0f); }

ComponentResult TestGainEffect::Render(AudioUnitRenderActionFlags& ioActionFlags, const AudioTimeStamp& inTimeStamp,
                                       UInt32 nFrames)
{
    Float64 beat = 0, tempo = 0;
    if (CallHostBeatAndTempo(&beat, &tempo) == noErr) {
        SetParameter(kGainParam_Tempo, (float)tempo);
        SetParameter(kGainParam_Beat, (float)beat);
    }
    ComponentResult err = AUMIDIEffectBase::Render(ioActionFlags, inTimeStamp, nFrames);
    if (err != noErr) return err;

    // Bus 1 is optional: without a source its output stays unprepared.
    AUInputElement* in = GetInput(1);
    AUOutputElement* out = GetOutput(1);
    if (in && out && in->IsActive() && in->PullInput(ioActionFlags, inTimeStamp, 1, nFrames) == noErr) {
        AudioBufferList& o = out->PrepareBuffer(nFrames);
        const AudioBufferList& i = in->GetBufferList();
        float g = GetParameter(kGainParam_Gain);
        for (UInt32 c = 0; c < o.mNumberBuffers && c < i.mNumberBuffers; ++c)
            for (UInt32 f = 0; f < nFrames; ++f)
                static_cast<float*>(o.mBuffers[c].mData)[f] = g * static_cast<const float*>(i.mBuffers[c].mData)[f];
    }
    return noErr;
}

OSStatus TestGainEffect::ProcessBufferLists(AudioUnitRenderActionFlags&, const AudioBufferList& inBuffer,
                                            AudioBufferList& outBuffer, UInt32 inFramesToProcess)
{
    float gain = GetParameter(kGainParam_Gain);
    int next = 0;
    for (UInt32 f = 0; f < inFramesToProcess; ++f) {
        while (next < mChangeCount && mChanges[next].frame <= f) gain = mChanges[next++].gain;
        for (UInt32 c = 0; c < outBuffer.mNumberBuffers && c < inBuffer.mNumberBuffers; ++c)
            static_cast<float*>(outBuffer.mBuffers[c].mData)[f] =
                gain * static_cast<const float*>(inBuffer.mBuffers[c].mData)[f];
    }
    while (next < mChangeCount) gain = mChanges[next++].gain;  // offsets past the block
    mChangeCount = 0;
    SetParameter(kGainParam_Gain, gain);
    return noErr;
}

OSStatus TestGainEffect::HandleMidiEvent(UInt8 status, UInt8, UInt8 data1, UInt8 data2, UInt32 inStartFrame)
{
    if (!IsInitialized()) return kAudioUnitErr_Uninitialized;
    ++mMidiCount;
    if (status == 0xB0 && data1 == 7 && mChangeCount < kMaxChanges) {
        // Kept in frame order; a message goes after those of the same frame.
        int at = mChangeCount++;
        while (at > 0 && mChanges[at - 1].frame > inStartFrame) {
            mChanges[at] = mChanges[at - 1];
            --at;
        }
        mChanges[at] = GainChange{inStartFrame, (float)data2 / 127.0f};
    }
    return noErr;
}

ComponentResult TestGainEffect::GetParameterInfo(AudioUnitScope inScope, AudioUnitParameterID inParameterID,
                                                 AudioUnitParameterInfo& outParameterInfo)
{
    if (inScope != kAudioUnitScope_Global || inParameterID >= kGainParamCount) return kAudioUnitErr_InvalidParameter;
    static const char* names[] = {"Port", "Gain", "Tempo", "Beat"};
    FillInParameterName(outParameterInfo, __CFStringMakeConstantString(names[inParameterID]), false);
    outParameterInfo.flags |= kAudioUnitParameterFlag_IsReadable;
    if (inParameterID == kGainParam_Gain) {
        outParameterInfo.flags |= kAudioUnitParameterFlag_IsWritable;
        outParameterInfo.unit = kAudioUnitParameterUnit_LinearGain;
        outParameterInfo.maxValue = 2.0f;
        outParameterInfo.defaultValue = 1.0f;
    } else {
        outParameterInfo.unit = kAudioUnitParameterUnit_Generic;
        outParameterInfo.maxValue = 1e6f;
    }
    return noErr;
}

ComponentResult TestGainEffect::GetPropertyInfo(AudioUnitPropertyID inID, AudioUnitScope inScope,
                                                AudioUnitElement inElement, UInt32& outDataSize, Boolean& outWritable)
{
    if (inID == kGainLabelProperty) {
        outDataSize = (UInt32)mLabel.size() + 1;
        outWritable = true;
        return noErr;
    }
    return AUMIDIEffectBase::GetPropertyInfo(inID, inScope, inElement, outDataSize, outWritable);
}

ComponentResult TestGainEffect::GetProperty(AudioUnitPropertyID inID, AudioUnitScope inScope,
                                            AudioUnitElement inElement, void* outData)
{
    if (inID == kGainLabelProperty) {
        std::memcpy(outData, mLabel.c_str(), mLabel.size() + 1);
        return noErr;
    }
    return AUMIDIEffectBase::GetProperty(inID, inScope, inElement, outData);
}

ComponentResult TestGainEffect::SetProperty(AudioUnitPropertyID inID, AudioUnitScope inScope,
                                            AudioUnitElement inElement, const void* inData, UInt32 inDataSize)
{
    if (inID == kGainLabelProperty) {
        const char* s = static_cast<const char*>(inData);
        mLabel.assign(s, strnlen(s, inDataSize));
        return noErr;
    }
    return AUMIDIEffectBase::SetProperty(inID, inScope, inElement, inData, inDataSize);
}

ComponentResult TestGainEffect::SaveState(CFPropertyListRef* outData)
{
    ComponentResult err = AUMIDIEffectBase::SaveState(outData);
    if (err != noErr) return err;
    SInt64 count = mMidiCount;
    CFNumberRef n = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &count);
    CFDictionarySetValue((CFMutableDictionaryRef)*outData, CFSTR("TestMidiCount"), n);
    CFRelease(n);
    return noErr;
}

ComponentResult TestGainEffect::RestoreState(CFPropertyListRef inData)
{
    ComponentResult err = AUMIDIEffectBase::RestoreState(inData);
    if (err != noErr) return err;
    CFTypeRef n = CFDictionaryGetValue(static_cast<CFDictionaryRef>(inData), CFSTR("TestMidiCount"));
    SInt64 count;
    if (n && CFGetTypeID(n) == CFNumberGetTypeID() &&
        CFNumberGetValue(static_cast<CFNumberRef>(n), kCFNumberSInt64Type, &count))
        mMidiCount = (long)count;
    return noErr;
}

void TestGainEffect::GetUIComponentDescs(ComponentDescription* inDescArray)
{
    inDescArray[0] = ComponentDescription{0x61757677 /* 'auvw' */, 0x6761696e /* 'gain' */, 0x54657374 /* 'Test' */,
                                          0, 0};
}
