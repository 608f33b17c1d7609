// The host side of the calls: each packs its arguments for the instance's
// entry point, where the plug-in's dispatcher checks and unpacks them.
#include <AudioUnit/AudioUnit.h>
#include <CoreServices/StandIn.h>

using CoreServicesStandIn::call;

extern "C" {

ComponentResult AudioUnitInitialize(AudioUnit ci) { return call(ci, kAudioUnitInitializeSelect); }

ComponentResult AudioUnitUninitialize(AudioUnit ci) { return call(ci, kAudioUnitUninitializeSelect); }

ComponentResult AudioUnitGetPropertyInfo(AudioUnit ci, AudioUnitPropertyID inID, AudioUnitScope inScope,
                                         AudioUnitElement inElement, UInt32* outDataSize, Boolean* outWritable)
{
    return call(ci, kAudioUnitGetPropertyInfoSelect, inID, inScope, inElement, outDataSize, outWritable);
}

ComponentResult AudioUnitGetProperty(AudioUnit ci, AudioUnitPropertyID inID, AudioUnitScope inScope,
                                     AudioUnitElement inElement, void* outData, UInt32* ioDataSize)
{
    return call(ci, kAudioUnitGetPropertySelect, inID, inScope, inElement, outData, ioDataSize);
}

ComponentResult AudioUnitSetProperty(AudioUnit ci, AudioUnitPropertyID inID, AudioUnitScope inScope,
                                     AudioUnitElement inElement, const void* inData, UInt32 inDataSize)
{
    return call(ci, kAudioUnitSetPropertySelect, inID, inScope, inElement, inData, inDataSize);
}

ComponentResult AudioUnitGetParameter(AudioUnit ci, AudioUnitParameterID inID, AudioUnitScope inScope,
                                      AudioUnitElement inElement, AudioUnitParameterValue* outValue)
{
    return call(ci, kAudioUnitGetParameterSelect, inID, inScope, inElement, outValue);
}

ComponentResult AudioUnitSetParameter(AudioUnit ci, AudioUnitParameterID inID, AudioUnitScope inScope,
                                      AudioUnitElement inElement, AudioUnitParameterValue inValue,
                                      UInt32 inBufferOffsetInFrames)
{
    return call(ci, kAudioUnitSetParameterSelect, inID, inScope, inElement, inValue, inBufferOffsetInFrames);
}

ComponentResult AudioUnitReset(AudioUnit ci, AudioUnitScope inScope, AudioUnitElement inElement)
{
    return call(ci, kAudioUnitResetSelect, inScope, inElement);
}

ComponentResult AudioUnitRender(AudioUnit ci, AudioUnitRenderActionFlags* ioActionFlags,
                                const AudioTimeStamp* inTimeStamp, UInt32 inOutputBusNumber, UInt32 inNumberFrames,
                                AudioBufferList* ioData)
{
    return call(ci, kAudioUnitRenderSelect, ioActionFlags, inTimeStamp, inOutputBusNumber, inNumberFrames, ioData);
}

OSStatus MusicDeviceMIDIEvent(MusicDeviceComponent inUnit, UInt32 inStatus, UInt32 inData1, UInt32 inData2,
                              UInt32 inOffsetSampleFrame)
{
    return call(inUnit, kMusicDeviceMIDIEventSelect, inStatus, inData1, inData2, inOffsetSampleFrame);
}

} // extern "C"
