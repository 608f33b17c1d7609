#pragma once
// Scopes, property ids and the records properties carry.
#include <AudioUnit/AUComponent.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    kAudioUnitScope_Global = 0,
    kAudioUnitScope_Input = 1,
    kAudioUnitScope_Output = 2
};

enum {
    kAudioUnitProperty_ClassInfo = 0,            // CFPropertyListRef, global; get saves, set restores
    kAudioUnitProperty_MakeConnection = 1,       // AudioUnitConnection, input element
    kAudioUnitProperty_SampleRate = 2,           // Float64, input or output element (global: all)
    kAudioUnitProperty_ParameterList = 3,        // AudioUnitParameterID[], any scope
    kAudioUnitProperty_ParameterInfo = 4,        // AudioUnitParameterInfo, element = parameter id
    kAudioUnitProperty_StreamFormat = 8,         // AudioStreamBasicDescription, input or output element
    kAudioUnitProperty_ElementCount = 11,        // UInt32, read only
    kAudioUnitProperty_Latency = 12,             // Float64 seconds, global, read only
    kAudioUnitProperty_MaximumFramesPerSlice = 14, // UInt32, global
    kAudioUnitProperty_ParameterValueStrings = 16, // CFArrayRef of CFStringRef, element = parameter id
    kAudioUnitProperty_GetUIComponentList = 18,  // ComponentDescription[], global, read only
    kAudioUnitProperty_TailTime = 20,            // Float64 seconds, global, read only
    kAudioUnitProperty_SetRenderCallback = 23,   // AURenderCallbackStruct, input element
    kAudioUnitProperty_HostCallbacks = 27        // HostCallbackInfo, global
};

typedef struct AURenderCallbackStruct {
    AURenderCallback inputProc;
    void* inputProcRefCon;
} AURenderCallbackStruct;

typedef struct AudioUnitConnection {
    AudioUnit sourceAudioUnit;
    UInt32 sourceOutputNumber;
    UInt32 destInputNumber;
} AudioUnitConnection;

typedef OSStatus (*HostCallback_GetBeatAndTempo)(void* inHostUserData, Float64* outCurrentBeat,
                                                 Float64* outCurrentTempo);
typedef OSStatus (*HostCallback_GetMusicalTimeLocation)(void* inHostUserData, UInt32* outDeltaSampleOffsetToNextBeat,
                                                        Float32* outTimeSig_Numerator,
                                                        UInt32* outTimeSig_Denominator,
                                                        Float64* outCurrentMeasureDownBeat);
typedef OSStatus (*HostCallback_GetTransportState)(void* inHostUserData, Boolean* outIsPlaying,
                                                   Boolean* outTransportStateChanged,
                                                   Float64* outCurrentSampleInTimeLine, Boolean* outIsCycling,
                                                   Float64* outCycleStartBeat, Float64* outCycleEndBeat);

// Any callback may be null. A host may pass a shorter record (an older one);
// the fields it leaves out count as null.
typedef struct HostCallbackInfo {
    void* hostUserData;
    HostCallback_GetBeatAndTempo beatAndTempoProc;
    HostCallback_GetMusicalTimeLocation musicalTimeLocationProc;
    HostCallback_GetTransportState transportStateProc;
} HostCallbackInfo;

typedef UInt32 AudioUnitParameterUnit;
enum {
    kAudioUnitParameterUnit_Generic = 0,
    kAudioUnitParameterUnit_Indexed = 1,
    kAudioUnitParameterUnit_LinearGain = 14
};

typedef UInt32 AudioUnitParameterOptions;
enum {
    kAudioUnitParameterFlag_CFNameRelease = (1UL << 4),
    kAudioUnitParameterFlag_HasCFNameString = (1UL << 27),
    kAudioUnitParameterFlag_IsReadable = (1UL << 30),
    kAudioUnitParameterFlag_IsWritable = (1UL << 31)
};

typedef struct AudioUnitParameterInfo {
    char name[52];
    CFStringRef unitName;
    UInt32 clumpID;
    CFStringRef cfNameString;
    AudioUnitParameterUnit unit;
    AudioUnitParameterValue minValue;
    AudioUnitParameterValue maxValue;
    AudioUnitParameterValue defaultValue;
    AudioUnitParameterOptions flags;
} AudioUnitParameterInfo;

// Keys of the saved-state dictionary.
#define kAUPresetVersionKey "version"
#define kAUPresetTypeKey "type"
#define kAUPresetSubtypeKey "subtype"
#define kAUPresetManufacturerKey "manufacturer"
#define kAUPresetDataKey "data"
#define kAUPresetNameKey "name"

#ifdef __cplusplus
}
#endif
