#pragma once
// The base of every Audio Unit: scopes and elements, stream formats, buffers,
// parameters, properties, saved state, host callbacks and rendering. The
// Dispatch* side checks what the host passed and keeps the books (formats,
// buffers, the initialised flag, the frame limit); the virtual functions are
// what a plug-in overrides.
#include <AudioUnit/AudioUnit.h>
#include <AUPublic/AUScopeElement.h>
#include <AUPublic/CAStreamBasicDescription.h>
#include <AUPublic/ComponentBase.h>
#include <CoreFoundation/CoreFoundation.h>

class AUBase : public ComponentBase {
public:
    // Largest values a host may set; larger ones are refused.
    static const UInt32 kMaxChannelsPerBus = 64;
    static const UInt32 kMaxFramesPerSliceLimit = 65536;
    static const UInt32 kDefaultMaxFramesPerSlice = 1156;

    AUBase(ComponentInstance inInstance, UInt32 numInputElements, UInt32 numOutputElements);
    ~AUBase() override;

    // Kept for plug-ins that call it in their constructor; the elements exist
    // from construction on.
    void CreateElements() {}
    virtual AUElement* CreateElement(AudioUnitScope scope, AudioUnitElement element);

    // --- lifecycle
    virtual ComponentResult Initialize() { return noErr; }
    virtual void Cleanup() {}
    virtual ComponentResult Reset(AudioUnitScope inScope, AudioUnitElement inElement);
    bool IsInitialized() const { return mInitialized; }

    // --- properties
    virtual ComponentResult GetPropertyInfo(AudioUnitPropertyID inID, AudioUnitScope inScope,
                                            AudioUnitElement inElement, UInt32& outDataSize, Boolean& outWritable);
    // outData holds the size GetPropertyInfo gave.
    virtual ComponentResult GetProperty(AudioUnitPropertyID inID, AudioUnitScope inScope, AudioUnitElement inElement,
                                        void* outData);
    virtual ComponentResult SetProperty(AudioUnitPropertyID inID, AudioUnitScope inScope, AudioUnitElement inElement,
                                        const void* inData, UInt32 inDataSize);

    // The dictionary holds "version", "type", "subtype", "manufacturer",
    // "data" (the global parameters) and "name"; the caller releases it.
    virtual ComponentResult SaveState(CFPropertyListRef* outData);
    virtual ComponentResult RestoreState(CFPropertyListRef inData);

    // --- parameters
    virtual ComponentResult GetParameterInfo(AudioUnitScope inScope, AudioUnitParameterID inParameterID,
                                             AudioUnitParameterInfo& outParameterInfo);
    // With a null outStrings only says whether there are value strings.
    virtual ComponentResult GetParameterValueStrings(AudioUnitScope inScope, AudioUnitParameterID inParameterID,
                                                     CFArrayRef* outStrings);
    virtual ComponentResult GetParameter(AudioUnitParameterID inID, AudioUnitScope inScope,
                                         AudioUnitElement inElement, AudioUnitParameterValue& outValue);
    virtual ComponentResult SetParameter(AudioUnitParameterID inID, AudioUnitScope inScope,
                                         AudioUnitElement inElement, AudioUnitParameterValue inValue,
                                         UInt32 inBufferOffsetInFrames);
    // Global scope, element 0.
    AudioUnitParameterValue GetParameter(AudioUnitParameterID inID) { return Globals()->GetParameter(inID); }
    void SetParameter(AudioUnitParameterID inID, AudioUnitParameterValue inValue) { Globals()->SetParameter(inID, inValue); }
    // Names a parameter; with inShouldRelease the record owns the string.
    static void FillInParameterName(AudioUnitParameterInfo& ioInfo, CFStringRef inName, bool inShouldRelease);

    // --- what the unit tells about itself
    virtual bool SupportsTail() { return false; }
    virtual Float64 GetTailTime() { return 0.0; }
    virtual Float64 GetLatency() { return 0.0; }
    virtual int GetNumCustomUIComponents() { return 0; }
    virtual void GetUIComponentDescs(ComponentDescription* inDescArray) { (void)inDescArray; }

    // --- formats and buses
    virtual bool ValidFormat(AudioUnitScope inScope, AudioUnitElement inElement,
                             const CAStreamBasicDescription& inNewFormat);
    virtual bool StreamFormatWritable(AudioUnitScope scope, AudioUnitElement element);
    virtual ComponentResult ChangeStreamFormat(AudioUnitScope inScope, AudioUnitElement inElement,
                                               const CAStreamBasicDescription& inPrevFormat,
                                               const CAStreamBasicDescription& inNewFormat);
    // An all-zero format for a missing element.
    const CAStreamBasicDescription& GetStreamFormat(AudioUnitScope inScope, AudioUnitElement inElement);
    // Output element 0's rate.
    Float64 GetSampleRate();
    UInt32 GetMaxFramesPerSlice() const { return mMaxFramesPerSlice; }
    // kAudioUnitErr_Initialized once initialised.
    ComponentResult SetBusCount(AudioUnitScope inScope, UInt32 inCount);

    AUElement* Globals() { return mGlobals.GetElement(0); }
    // Null for an unknown scope or element.
    AUScope* GetScope(AudioUnitScope inScope);
    AUElement* GetElement(AudioUnitScope inScope, AudioUnitElement inElement);
    AUIOElement* GetIOElement(AudioUnitScope inScope, AudioUnitElement inElement);
    AUInputElement* GetInput(AudioUnitElement inElement);
    AUOutputElement* GetOutput(AudioUnitElement inElement);
    bool HasInput(AudioUnitElement inElement);

    // --- rendering
    // Renders every output bus for one time stamp; output buses it leaves
    // unprepared reach the host as silence.
    virtual ComponentResult Render(AudioUnitRenderActionFlags& ioActionFlags, const AudioTimeStamp& inTimeStamp,
                                   UInt32 inNumberFrames);
    // Counts render calls; elements note the call their buffers were prepared in.
    UInt64 RenderCycle() const { return mRenderCycle; }

    // --- host callbacks, for the render thread. Without the callback:
    // kAudioUnitErr_CannotDoInCurrentContext. Null out pointers are allowed.
    OSStatus CallHostBeatAndTempo(Float64* outCurrentBeat, Float64* outCurrentTempo);
    OSStatus CallHostMusicalTimeLocation(UInt32* outDeltaSampleOffsetToNextBeat, Float32* outTimeSig_Numerator,
                                         UInt32* outTimeSig_Denominator, Float64* outCurrentMeasureDownBeat);

    // --- the host's calls, checked
    ComponentResult DoInitialize();
    void DoCleanup();
    ComponentResult DoReset(AudioUnitScope inScope, AudioUnitElement inElement);
    ComponentResult DispatchGetPropertyInfo(AudioUnitPropertyID inID, AudioUnitScope inScope,
                                            AudioUnitElement inElement, UInt32* outDataSize, Boolean* outWritable);
    ComponentResult DispatchGetProperty(AudioUnitPropertyID inID, AudioUnitScope inScope, AudioUnitElement inElement,
                                        void* outData, UInt32* ioDataSize);
    ComponentResult DispatchSetProperty(AudioUnitPropertyID inID, AudioUnitScope inScope, AudioUnitElement inElement,
                                        const void* inData, UInt32 inDataSize);
    ComponentResult DoRender(AudioUnitRenderActionFlags* ioActionFlags, const AudioTimeStamp* inTimeStamp,
                             UInt32 inBusNumber, UInt32 inNumberFrames, AudioBufferList* ioData);

    static bool CanDo(SInt16 selector);
    static ComponentResult ComponentEntryDispatch(ComponentParameters* params, AUBase* This);

protected:
    HostCallbackInfo mHostCallbackInfo;

private:
    ComponentResult CheckScopeElement(AudioUnitScope inScope, AudioUnitElement inElement);
    // The element must be an input or output bus.
    ComponentResult CheckIOElement(AudioUnitScope inScope, AudioUnitElement inElement);
    void ReallocateBuffers();
    void DeallocateBuffers();
    bool NeedsToRender(const AudioTimeStamp& inTimeStamp, UInt32 inNumberFrames);

    AUScope mGlobals;
    AUScope mInputs;
    AUScope mOutputs;
    bool mInitialized = false;
    UInt32 mMaxFramesPerSlice = kDefaultMaxFramesPerSlice;
    UInt64 mRenderCycle = 0;
    bool mRendered = false;
    Float64 mLastRenderSampleTime = 0.0;
    UInt32 mLastRenderFrames = 0;
};
