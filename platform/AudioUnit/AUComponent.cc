// The host side of the calls: each packs its arguments for the instance's
// entry point, where the plug-in's dispatcher checks and unpacks them.
#include <AudioUnit/AudioUnit.h>

#include "component_call.h"

using qmau::Call;

extern "C" {

ComponentResult AudioUnitInitialize(AudioUnit ci) { return Call(kAudioUnitInitializeSelect).send(ci); }

ComponentResult AudioUnitUninitialize(AudioUnit ci) { return Call(kAudioUnitUninitializeSelect).send(ci); }

ComponentResult AudioUnitGetPropertyInfo(AudioUnit ci, AudioUnitPropertyID inID, AudioUnitScope inScope,
                                         AudioUnitElement inElement, UInt32* outDataSize, Boolean* outWritable)
{
    return Call(kAudioUnitGetPropertyInfoSelect).arg(inID).arg(inScope).arg(inElement).ptr(outDataSize)
        .ptr(outWritable).send(ci);
}

ComponentResult AudioUnitGetProperty(AudioUnit ci, AudioUnitPropertyID inID, AudioUnitScope inScope,
                                     AudioUnitElement inElement, void* outData, UInt32* ioDataSize)
{
    return Call(kAudioUnitGetPropertySelect).arg(inID).arg(inScope).arg(inElement).ptr(outData).ptr(ioDataSize)
        .send(ci);
}

ComponentResult AudioUnitSetProperty(AudioUnit ci, AudioUnitPropertyID inID, AudioUnitScope inScope,
                                     AudioUnitElement inElement, const void* inData, UInt32 inDataSize)
{
    return Call(kAudioUnitSetPropertySelect).arg(inID).arg(inScope).arg(inElement).ptr(inData).arg(inDataSize)
        .send(ci);
}

ComponentResult AudioUnitGetParameter(AudioUnit ci, AudioUnitParameterID inID, AudioUnitScope inScope,
                                      AudioUnitElement inElement, AudioUnitParameterValue* outValue)
{
    return Call(kAudioUnitGetParameterSelect).arg(inID).arg(inScope).arg(inElement).ptr(outValue).send(ci);
}

ComponentResult AudioUnitSetParameter(AudioUnit ci, AudioUnitParameterID inID, AudioUnitScope inScope,
                                      AudioUnitElement inElement, AudioUnitParameterValue inValue,
                                      UInt32 inBufferOffsetInFrames)
{
    return Call(kAudioUnitSetParameterSelect).arg(inID).arg(inScope).arg(inElement).f32(inValue)
        .arg(inBufferOffsetInFrames).send(ci);
}

ComponentResult AudioUnitRender(AudioUnit ci, AudioUnitRenderActionFlags* ioActionFlags,
                                const AudioTimeStamp* inTimeStamp, UInt32 inOutputBusNumber, UInt32 inNumberFrames,
                                AudioBufferList* ioData)
{
    return Call(kAudioUnitRenderSelect).ptr(ioActionFlags).ptr(inTimeStamp).arg(inOutputBusNumber)
        .arg(inNumberFrames).ptr(ioData).send(ci);
}

OSStatus MusicDeviceMIDIEvent(MusicDeviceComponent inUnit, UInt32 inStatus, UInt32 inData1, UInt32 inData2,
                              UInt32 inOffsetSampleFrame)
{
    return Call(kMusicDeviceMIDIEventSelect).arg(inStatus).arg(inData1).arg(inData2).arg(inOffsetSampleFrame)
        .send(inUnit);
}

} // extern "C"
