#include <AUPublic/AUBase.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace {

const UInt32 kFloatBytes = sizeof(Float32);

ComponentResult bad_size(UInt32 have, UInt32 want)
{
    return have == want ? noErr : (ComponentResult)kAudioUnitErr_InvalidPropertyValue;
}

template <class T>
T read(const void* data)
{
    T v;
    std::memcpy(&v, data, sizeof v);
    return v;
}

template <class T>
void write(void* data, const T& v)
{
    std::memcpy(data, &v, sizeof v);
}

void put_be32(std::vector<UInt8>& out, UInt32 v)
{
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back((UInt8)(v >> shift));
}

UInt32 get_be32(const UInt8* p) { return (UInt32)p[0] << 24 | (UInt32)p[1] << 16 | (UInt32)p[2] << 8 | p[3]; }

void set_number(CFMutableDictionaryRef dict, const char* key, SInt32 value)
{
    CFNumberRef n = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &value);
    CFDictionarySetValue(dict, __CFStringMakeConstantString(key), n);
    CFRelease(n);
}

// The dictionary's number under key as SInt32; false when absent or not one.
bool get_number(CFDictionaryRef dict, const char* key, SInt32& value)
{
    CFTypeRef n = CFDictionaryGetValue(dict, __CFStringMakeConstantString(key));
    return n && CFGetTypeID(n) == CFNumberGetTypeID() &&
           CFNumberGetValue(static_cast<CFNumberRef>(n), kCFNumberSInt32Type, &value);
}

// Getting, asking about and setting a property that lives on one scope only
// are refused on any other.
ComponentResult check_scope(AudioUnitPropertyID id, AudioUnitScope scope)
{
    AudioUnitScope only;
    switch (id) {
    case kAudioUnitProperty_ClassInfo:
    case kAudioUnitProperty_Latency:
    case kAudioUnitProperty_TailTime:
    case kAudioUnitProperty_MaximumFramesPerSlice:
    case kAudioUnitProperty_GetUIComponentList:
    case kAudioUnitProperty_HostCallbacks: only = kAudioUnitScope_Global; break;
    case kAudioUnitProperty_MakeConnection:
    case kAudioUnitProperty_SetRenderCallback: only = kAudioUnitScope_Input; break;
    default: return noErr;
    }
    return scope == only ? noErr : (ComponentResult)kAudioUnitErr_InvalidScope;
}

// Properties whose value is a list the host may take only the start of.
bool may_truncate(AudioUnitPropertyID id)
{
    switch (id) {
    case kAudioUnitProperty_ClassInfo:
    case kAudioUnitProperty_MakeConnection:
    case kAudioUnitProperty_SampleRate:
    case kAudioUnitProperty_ParameterInfo:
    case kAudioUnitProperty_StreamFormat:
    case kAudioUnitProperty_ElementCount:
    case kAudioUnitProperty_Latency:
    case kAudioUnitProperty_MaximumFramesPerSlice:
    case kAudioUnitProperty_ParameterValueStrings:
    case kAudioUnitProperty_TailTime:
    case kAudioUnitProperty_SetRenderCallback:
    case kAudioUnitProperty_HostCallbacks:
        return false;
    default:
        return true;
    }
}

// The arguments of a call whose selector declares n of them (the count
// places them on 32-bit). paramSize is not looked at, as on the platform.
struct CallArgs {
    ComponentParameters* params;
    int n;
    UInt32 u32(int i) const { return (UInt32)ComponentArgument(params, i, n); }
    void* ptr(int i) const { return reinterpret_cast<void*>(ComponentArgument(params, i, n)); }
};

} // namespace

AUBase::AUBase(ComponentInstance inInstance, UInt32 numInputElements, UInt32 numOutputElements)
    : ComponentBase(inInstance)
{
    std::memset(&mHostCallbackInfo, 0, sizeof mHostCallbackInfo);
    mGlobals.Initialize(this, kAudioUnitScope_Global, 1);
    mInputs.Initialize(this, kAudioUnitScope_Input, numInputElements);
    mOutputs.Initialize(this, kAudioUnitScope_Output, numOutputElements);
}

AUBase::~AUBase() {}

AUElement* AUBase::CreateElement(AudioUnitScope scope, AudioUnitElement)
{
    switch (scope) {
    case kAudioUnitScope_Input: return new AUInputElement(this);
    case kAudioUnitScope_Output: return new AUOutputElement(this);
    default: return new AUElement(this);
    }
}

ComponentResult AUBase::Reset(AudioUnitScope, AudioUnitElement) { return noErr; }

// ---------------------------------------------------------------- elements

AUScope* AUBase::GetScope(AudioUnitScope inScope)
{
    switch (inScope) {
    case kAudioUnitScope_Global: return &mGlobals;
    case kAudioUnitScope_Input: return &mInputs;
    case kAudioUnitScope_Output: return &mOutputs;
    default: return nullptr;
    }
}

AUElement* AUBase::GetElement(AudioUnitScope inScope, AudioUnitElement inElement)
{
    AUScope* s = GetScope(inScope);
    return s ? s->GetElement(inElement) : nullptr;
}

AUIOElement* AUBase::GetIOElement(AudioUnitScope inScope, AudioUnitElement inElement)
{
    AUScope* s = GetScope(inScope);
    return s ? s->GetIOElement(inElement) : nullptr;
}

AUInputElement* AUBase::GetInput(AudioUnitElement inElement)
{
    return static_cast<AUInputElement*>(mInputs.GetElement(inElement));
}

AUOutputElement* AUBase::GetOutput(AudioUnitElement inElement)
{
    return static_cast<AUOutputElement*>(mOutputs.GetElement(inElement));
}

bool AUBase::HasInput(AudioUnitElement inElement)
{
    AUInputElement* in = GetInput(inElement);
    return in && in->IsActive();
}

ComponentResult AUBase::CheckScopeElement(AudioUnitScope inScope, AudioUnitElement inElement)
{
    AUScope* s = GetScope(inScope);
    if (!s) return kAudioUnitErr_InvalidScope;
    return s->GetElement(inElement) ? noErr : (ComponentResult)kAudioUnitErr_InvalidElement;
}

ComponentResult AUBase::CheckIOElement(AudioUnitScope inScope, AudioUnitElement inElement)
{
    ComponentResult err = CheckScopeElement(inScope, inElement);
    if (err != noErr) return err;
    return GetIOElement(inScope, inElement) ? noErr : (ComponentResult)kAudioUnitErr_InvalidScope;
}

ComponentResult AUBase::SetBusCount(AudioUnitScope inScope, UInt32 inCount)
{
    if (mInitialized) return kAudioUnitErr_Initialized;
    if (inScope != kAudioUnitScope_Input && inScope != kAudioUnitScope_Output) return kAudioUnitErr_InvalidScope;
    GetScope(inScope)->SetNumberOfElements(inCount);
    return noErr;
}

// ----------------------------------------------------------------- formats

const CAStreamBasicDescription& AUBase::GetStreamFormat(AudioUnitScope inScope, AudioUnitElement inElement)
{
    static const CAStreamBasicDescription none;
    AUIOElement* e = GetIOElement(inScope, inElement);
    return e ? e->GetStreamFormat() : none;
}

Float64 AUBase::GetSampleRate() { return GetStreamFormat(kAudioUnitScope_Output, 0).mSampleRate; }

bool AUBase::ValidFormat(AudioUnitScope, AudioUnitElement, const CAStreamBasicDescription& inNewFormat)
{
    return inNewFormat.IsAUCanonical() && inNewFormat.NumberChannels() <= kMaxChannelsPerBus;
}

bool AUBase::StreamFormatWritable(AudioUnitScope, AudioUnitElement) { return !mInitialized; }

ComponentResult AUBase::ChangeStreamFormat(AudioUnitScope inScope, AudioUnitElement inElement,
                                           const CAStreamBasicDescription&,
                                           const CAStreamBasicDescription& inNewFormat)
{
    AUIOElement* e = GetIOElement(inScope, inElement);
    if (!e) return kAudioUnitErr_InvalidElement;
    return e->SetStreamFormat(inNewFormat);
}

// -------------------------------------------------------------- lifecycle

void AUBase::ReallocateBuffers()
{
    for (AUScope* s : {&mInputs, &mOutputs})
        for (UInt32 i = 0; i < s->GetNumberOfElements(); ++i) s->GetIOElement(i)->AllocateBuffer(mMaxFramesPerSlice);
}

void AUBase::DeallocateBuffers()
{
    for (AUScope* s : {&mInputs, &mOutputs})
        for (UInt32 i = 0; i < s->GetNumberOfElements(); ++i) s->GetIOElement(i)->DeallocateBuffer();
}

ComponentResult AUBase::DoInitialize()
{
    if (mInitialized) return noErr;
    ComponentResult err = Initialize();
    if (err != noErr) return err;
    try {
        ReallocateBuffers();
    } catch (const std::bad_alloc&) {
        Cleanup();
        DeallocateBuffers();
        return kAudioUnitErr_FailedInitialization;
    }
    mRendered = false;
    mInitialized = true;
    return noErr;
}

void AUBase::DoCleanup()
{
    if (!mInitialized) return;
    Cleanup();
    mInitialized = false;
    DeallocateBuffers();
}

ComponentResult AUBase::DoReset(AudioUnitScope inScope, AudioUnitElement inElement)
{
    if (!GetScope(inScope)) return kAudioUnitErr_InvalidScope;
    mRendered = false;
    return Reset(inScope, inElement);
}

// ------------------------------------------------------------ parameters

ComponentResult AUBase::GetParameterInfo(AudioUnitScope, AudioUnitParameterID, AudioUnitParameterInfo&)
{
    return kAudioUnitErr_InvalidParameter;
}

ComponentResult AUBase::GetParameterValueStrings(AudioUnitScope, AudioUnitParameterID, CFArrayRef*)
{
    return kAudioUnitErr_InvalidProperty;
}

ComponentResult AUBase::GetParameter(AudioUnitParameterID inID, AudioUnitScope inScope, AudioUnitElement inElement,
                                     AudioUnitParameterValue& outValue)
{
    ComponentResult err = CheckScopeElement(inScope, inElement);
    if (err != noErr) return err;
    AUElement* e = GetElement(inScope, inElement);
    if (!e->HasParameterID(inID)) return kAudioUnitErr_InvalidParameter;
    outValue = e->GetParameter(inID);
    return noErr;
}

ComponentResult AUBase::SetParameter(AudioUnitParameterID inID, AudioUnitScope inScope, AudioUnitElement inElement,
                                     AudioUnitParameterValue inValue, UInt32)
{
    ComponentResult err = CheckScopeElement(inScope, inElement);
    if (err != noErr) return err;
    AUElement* e = GetElement(inScope, inElement);
    if (!e->HasParameterID(inID)) return kAudioUnitErr_InvalidParameter;
    e->SetParameter(inID, inValue);
    return noErr;
}

void AUBase::FillInParameterName(AudioUnitParameterInfo& ioInfo, CFStringRef inName, bool inShouldRelease)
{
    ioInfo.cfNameString = inName;
    ioInfo.flags |= kAudioUnitParameterFlag_HasCFNameString;
    if (inShouldRelease) ioInfo.flags |= kAudioUnitParameterFlag_CFNameRelease;
    if (!CFStringGetCString(inName, ioInfo.name, sizeof ioInfo.name, kCFStringEncodingUTF8)) {
        // Too long: keep what fits, cut at a character boundary.
        const char* s = CFStringGetCStringPtr(inName, kCFStringEncodingUTF8);
        size_t n = s ? std::strlen(s) : 0;
        if (n > sizeof ioInfo.name - 1) n = sizeof ioInfo.name - 1;
        while (n > 0 && (s[n] & 0xC0) == 0x80) --n;
        if (n) std::memcpy(ioInfo.name, s, n);
        ioInfo.name[n] = 0;
    }
}

// ------------------------------------------------------------ properties

ComponentResult AUBase::GetPropertyInfo(AudioUnitPropertyID inID, AudioUnitScope inScope,
                                        AudioUnitElement inElement, UInt32& outDataSize, Boolean& outWritable)
{
    outWritable = false;
    if (ComponentResult err = check_scope(inID, inScope)) return err;
    switch (inID) {
    case kAudioUnitProperty_ClassInfo:
        outDataSize = sizeof(CFPropertyListRef);
        outWritable = true;
        return noErr;

    case kAudioUnitProperty_MakeConnection:
    case kAudioUnitProperty_SetRenderCallback:
        if (!GetInput(inElement)) return kAudioUnitErr_InvalidElement;
        outDataSize = inID == kAudioUnitProperty_MakeConnection ? sizeof(AudioUnitConnection)
                                                                : sizeof(AURenderCallbackStruct);
        outWritable = true;
        return noErr;

    case kAudioUnitProperty_SampleRate:
        if (inScope != kAudioUnitScope_Global)
            if (ComponentResult err = CheckIOElement(inScope, inElement)) return err;
        outDataSize = sizeof(Float64);
        outWritable = true;
        return noErr;

    case kAudioUnitProperty_StreamFormat: {
        if (ComponentResult err = CheckIOElement(inScope, inElement)) return err;
        outDataSize = sizeof(AudioStreamBasicDescription);
        outWritable = StreamFormatWritable(inScope, inElement);
        return noErr;
    }

    case kAudioUnitProperty_ParameterList: {
        ComponentResult err = CheckScopeElement(inScope, inElement);
        if (err != noErr) return err;
        outDataSize = GetElement(inScope, inElement)->GetNumberOfParameters() * sizeof(AudioUnitParameterID);
        return noErr;
    }

    case kAudioUnitProperty_ParameterInfo: {
        if (!GetScope(inScope)) return kAudioUnitErr_InvalidScope;
        AudioUnitParameterInfo info;
        std::memset(&info, 0, sizeof info);
        ComponentResult err = GetParameterInfo(inScope, inElement, info);
        if (info.flags & kAudioUnitParameterFlag_CFNameRelease) CFRelease(info.cfNameString);
        if (err != noErr) return err;
        outDataSize = sizeof(AudioUnitParameterInfo);
        return noErr;
    }

    case kAudioUnitProperty_ParameterValueStrings: {
        if (!GetScope(inScope)) return kAudioUnitErr_InvalidScope;
        ComponentResult err = GetParameterValueStrings(inScope, inElement, nullptr);
        if (err != noErr) return err;
        outDataSize = sizeof(CFArrayRef);
        return noErr;
    }

    case kAudioUnitProperty_ElementCount:
        if (!GetScope(inScope)) return kAudioUnitErr_InvalidScope;
        outDataSize = sizeof(UInt32);
        return noErr;

    case kAudioUnitProperty_Latency:
    case kAudioUnitProperty_TailTime:
        if (inID == kAudioUnitProperty_TailTime && !SupportsTail()) return kAudioUnitErr_InvalidProperty;
        outDataSize = sizeof(Float64);
        return noErr;

    case kAudioUnitProperty_MaximumFramesPerSlice:
        outDataSize = sizeof(UInt32);
        outWritable = true;
        return noErr;

    case kAudioUnitProperty_GetUIComponentList: {
        int n = GetNumCustomUIComponents();
        if (n <= 0) return kAudioUnitErr_InvalidProperty;
        outDataSize = (UInt32)n * sizeof(ComponentDescription);
        return noErr;
    }

    case kAudioUnitProperty_HostCallbacks:
        outDataSize = sizeof(HostCallbackInfo);
        outWritable = true;
        return noErr;

    default:
        return kAudioUnitErr_InvalidProperty;
    }
}

ComponentResult AUBase::GetProperty(AudioUnitPropertyID inID, AudioUnitScope inScope, AudioUnitElement inElement,
                                    void* outData)
{
    switch (inID) {
    case kAudioUnitProperty_ClassInfo:
        return SaveState(static_cast<CFPropertyListRef*>(outData));

    case kAudioUnitProperty_MakeConnection:
        write(outData, GetInput(inElement)->GetConnection());
        return noErr;

    case kAudioUnitProperty_SetRenderCallback:
        return kAudioUnitErr_InvalidProperty;  // written, never read back

    case kAudioUnitProperty_SampleRate:
        write(outData, inScope == kAudioUnitScope_Global ? GetSampleRate()
                                                          : GetStreamFormat(inScope, inElement).mSampleRate);
        return noErr;

    case kAudioUnitProperty_StreamFormat: {
        AudioStreamBasicDescription desc = GetStreamFormat(inScope, inElement);
        write(outData, desc);
        return noErr;
    }

    case kAudioUnitProperty_ParameterList: {
        AUElement* e = GetElement(inScope, inElement);
        for (UInt32 i = 0; i < e->GetNumberOfParameters(); ++i)
            std::memcpy(static_cast<char*>(outData) + i * sizeof(AudioUnitParameterID), &i, sizeof i);
        return noErr;
    }

    case kAudioUnitProperty_ParameterInfo: {
        AudioUnitParameterInfo info;
        std::memset(&info, 0, sizeof info);
        ComponentResult err = GetParameterInfo(inScope, inElement, info);
        if (err != noErr) {
            if (info.flags & kAudioUnitParameterFlag_CFNameRelease) CFRelease(info.cfNameString);
            return err;
        }
        write(outData, info);
        return noErr;
    }

    case kAudioUnitProperty_ParameterValueStrings: {
        CFArrayRef strings = nullptr;
        ComponentResult err = GetParameterValueStrings(inScope, inElement, &strings);
        if (err == noErr) write(outData, strings);
        return err;
    }

    case kAudioUnitProperty_ElementCount:
        write(outData, GetScope(inScope)->GetNumberOfElements());
        return noErr;

    case kAudioUnitProperty_Latency:
        write(outData, GetLatency());
        return noErr;

    case kAudioUnitProperty_TailTime:
        write(outData, GetTailTime());
        return noErr;

    case kAudioUnitProperty_MaximumFramesPerSlice:
        write(outData, mMaxFramesPerSlice);
        return noErr;

    case kAudioUnitProperty_GetUIComponentList:
        GetUIComponentDescs(static_cast<ComponentDescription*>(outData));
        return noErr;

    case kAudioUnitProperty_HostCallbacks:
        write(outData, mHostCallbackInfo);
        return noErr;

    default:
        return kAudioUnitErr_InvalidProperty;
    }
}

ComponentResult AUBase::SetProperty(AudioUnitPropertyID inID, AudioUnitScope inScope, AudioUnitElement inElement,
                                    const void* inData, UInt32 inDataSize)
{
    if (ComponentResult err = check_scope(inID, inScope)) return err;
    switch (inID) {
    case kAudioUnitProperty_ClassInfo: {
        if (ComponentResult err = bad_size(inDataSize, sizeof(CFPropertyListRef))) return err;
        CFPropertyListRef plist = read<CFPropertyListRef>(inData);
        if (!plist) return kAudioUnitErr_InvalidPropertyValue;
        return RestoreState(plist);
    }

    case kAudioUnitProperty_MakeConnection: {
        AUInputElement* in = GetInput(inElement);
        if (!in) return kAudioUnitErr_InvalidElement;
        if (ComponentResult err = bad_size(inDataSize, sizeof(AudioUnitConnection))) return err;
        AudioUnitConnection conn = read<AudioUnitConnection>(inData);
        // Pulling from ourselves would never end.
        if (conn.destInputNumber != inElement || (conn.sourceAudioUnit && conn.sourceAudioUnit == mComponentInstance))
            return kAudioUnitErr_InvalidPropertyValue;
        in->SetConnection(conn);
        return noErr;
    }

    case kAudioUnitProperty_SetRenderCallback: {
        AUInputElement* in = GetInput(inElement);
        if (!in) return kAudioUnitErr_InvalidElement;
        if (ComponentResult err = bad_size(inDataSize, sizeof(AURenderCallbackStruct))) return err;
        AURenderCallbackStruct cb = read<AURenderCallbackStruct>(inData);
        in->SetInputCallback(cb.inputProc, cb.inputProcRefCon);
        return noErr;
    }

    case kAudioUnitProperty_SampleRate: {
        if (ComponentResult err = bad_size(inDataSize, sizeof(Float64))) return err;
        Float64 rate = read<Float64>(inData);
        std::vector<std::pair<AudioUnitScope, AudioUnitElement>> targets;
        if (inScope == kAudioUnitScope_Global) {
            for (AudioUnitScope s : {kAudioUnitScope_Input, kAudioUnitScope_Output})
                for (UInt32 i = 0; i < GetScope(s)->GetNumberOfElements(); ++i) targets.emplace_back(s, i);
        } else {
            if (ComponentResult err = CheckIOElement(inScope, inElement)) return err;
            targets.emplace_back(inScope, inElement);
        }
        // Check every element before changing any.
        for (auto& t : targets) {
            CAStreamBasicDescription f = GetStreamFormat(t.first, t.second);
            f.mSampleRate = rate;
            if (!ValidFormat(t.first, t.second, f)) return kAudioUnitErr_FormatNotSupported;
            if (rate != GetStreamFormat(t.first, t.second).mSampleRate && !StreamFormatWritable(t.first, t.second))
                return kAudioUnitErr_PropertyNotWritable;
        }
        for (auto& t : targets) {
            CAStreamBasicDescription prev = GetStreamFormat(t.first, t.second);
            if (prev.mSampleRate == rate) continue;
            CAStreamBasicDescription f = prev;
            f.mSampleRate = rate;
            if (ComponentResult err = ChangeStreamFormat(t.first, t.second, prev, f)) return err;
        }
        return noErr;
    }

    case kAudioUnitProperty_StreamFormat: {
        if (ComponentResult err = CheckIOElement(inScope, inElement)) return err;
        if (ComponentResult err = bad_size(inDataSize, sizeof(AudioStreamBasicDescription))) return err;
        CAStreamBasicDescription f(read<AudioStreamBasicDescription>(inData));
        if (!ValidFormat(inScope, inElement, f)) return kAudioUnitErr_FormatNotSupported;
        const CAStreamBasicDescription& prev = GetStreamFormat(inScope, inElement);
        if (prev.IsEqual(f)) return noErr;
        if (!StreamFormatWritable(inScope, inElement)) return kAudioUnitErr_PropertyNotWritable;
        return ChangeStreamFormat(inScope, inElement, CAStreamBasicDescription(prev), f);
    }

    case kAudioUnitProperty_MaximumFramesPerSlice: {
        if (ComponentResult err = bad_size(inDataSize, sizeof(UInt32))) return err;
        UInt32 frames = read<UInt32>(inData);
        if (frames == 0 || frames > kMaxFramesPerSliceLimit) return kAudioUnitErr_InvalidPropertyValue;
        if (frames == mMaxFramesPerSlice) return noErr;
        if (mInitialized) return kAudioUnitErr_Initialized;
        mMaxFramesPerSlice = frames;
        return noErr;
    }

    case kAudioUnitProperty_HostCallbacks: {
        // Older hosts pass a shorter record; what they leave out is null.
        if (inDataSize < sizeof(void*) || inDataSize > sizeof(HostCallbackInfo))
            return kAudioUnitErr_InvalidPropertyValue;
        HostCallbackInfo info;
        std::memset(&info, 0, sizeof info);
        std::memcpy(&info, inData, inDataSize);
        mHostCallbackInfo = info;
        return noErr;
    }

    case kAudioUnitProperty_ParameterList:
    case kAudioUnitProperty_ParameterInfo:
    case kAudioUnitProperty_ParameterValueStrings:
    case kAudioUnitProperty_ElementCount:
    case kAudioUnitProperty_Latency:
    case kAudioUnitProperty_TailTime:
    case kAudioUnitProperty_GetUIComponentList:
        return kAudioUnitErr_PropertyNotWritable;

    default:
        return kAudioUnitErr_InvalidProperty;
    }
}

ComponentResult AUBase::DispatchGetPropertyInfo(AudioUnitPropertyID inID, AudioUnitScope inScope,
                                                AudioUnitElement inElement, UInt32* outDataSize, Boolean* outWritable)
{
    UInt32 size = 0;
    Boolean writable = false;
    ComponentResult err = GetPropertyInfo(inID, inScope, inElement, size, writable);
    if (err != noErr) return err;
    if (outDataSize) *outDataSize = size;
    if (outWritable) *outWritable = writable;
    return noErr;
}

ComponentResult AUBase::DispatchGetProperty(AudioUnitPropertyID inID, AudioUnitScope inScope,
                                            AudioUnitElement inElement, void* outData, UInt32* ioDataSize)
{
    if (!ioDataSize) return paramErr;
    UInt32 size = 0;
    Boolean writable = false;
    ComponentResult err = GetPropertyInfo(inID, inScope, inElement, size, writable);
    if (err != noErr) return err;
    if (!outData) {
        *ioDataSize = size;
        return noErr;
    }
    if (*ioDataSize >= size) {
        if (size == 0) return noErr;
        err = GetProperty(inID, inScope, inElement, outData);
        if (err == noErr) *ioDataSize = size;
        return err;
    }
    // A value that holds references, or a record, cannot be cut short.
    if (!may_truncate(inID)) return kAudioUnitErr_InvalidPropertyValue;
    std::vector<UInt8> whole(size);
    err = GetProperty(inID, inScope, inElement, whole.data());
    if (err == noErr) std::memcpy(outData, whole.data(), *ioDataSize);
    return err;
}

ComponentResult AUBase::DispatchSetProperty(AudioUnitPropertyID inID, AudioUnitScope inScope,
                                            AudioUnitElement inElement, const void* inData, UInt32 inDataSize)
{
    if (!inData) return kAudioUnitErr_InvalidPropertyValue;
    return SetProperty(inID, inScope, inElement, inData, inDataSize);
}

// ---------------------------------------------------------- saved state

ComponentResult AUBase::SaveState(CFPropertyListRef* outData)
{
    if (!outData) return paramErr;
    ComponentDescription desc;
    std::memset(&desc, 0, sizeof desc);
    GetComponentInfo(reinterpret_cast<Component>(mComponentInstance), &desc, nullptr, nullptr, nullptr);

    CFMutableDictionaryRef dict = CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                                            &kCFTypeDictionaryValueCallBacks);
    set_number(dict, kAUPresetVersionKey, 0);
    set_number(dict, kAUPresetTypeKey, (SInt32)desc.componentType);
    set_number(dict, kAUPresetSubtypeKey, (SInt32)desc.componentSubType);
    set_number(dict, kAUPresetManufacturerKey, (SInt32)desc.componentManufacturer);

    // Global parameters: a count, then id and value bits of each, big-endian.
    AUElement* g = Globals();
    std::vector<UInt8> bytes;
    put_be32(bytes, g->GetNumberOfParameters());
    for (UInt32 id = 0; id < g->GetNumberOfParameters(); ++id) {
        Float32 v = g->GetParameter(id);
        UInt32 bits;
        std::memcpy(&bits, &v, sizeof bits);
        put_be32(bytes, id);
        put_be32(bytes, bits);
    }
    CFDataRef data = CFDataCreate(kCFAllocatorDefault, bytes.data(), (CFIndex)bytes.size());
    CFDictionarySetValue(dict, CFSTR(kAUPresetDataKey), data);
    CFRelease(data);
    CFDictionarySetValue(dict, CFSTR(kAUPresetNameKey), CFSTR("Untitled"));
    *outData = dict;
    return noErr;
}

ComponentResult AUBase::RestoreState(CFPropertyListRef inData)
{
    if (!inData || CFGetTypeID(inData) != CFDictionaryGetTypeID()) return kAudioUnitErr_InvalidPropertyValue;
    CFDictionaryRef dict = static_cast<CFDictionaryRef>(inData);

    SInt32 version, type, subtype, manufacturer;
    if (!get_number(dict, kAUPresetVersionKey, version) || version != 0) return kAudioUnitErr_InvalidPropertyValue;
    if (!get_number(dict, kAUPresetTypeKey, type) || !get_number(dict, kAUPresetSubtypeKey, subtype) ||
        !get_number(dict, kAUPresetManufacturerKey, manufacturer))
        return kAudioUnitErr_InvalidPropertyValue;
    ComponentDescription desc;
    if (GetComponentInfo(reinterpret_cast<Component>(mComponentInstance), &desc, nullptr, nullptr, nullptr) == noErr &&
        ((OSType)type != desc.componentType || (OSType)subtype != desc.componentSubType ||
         (OSType)manufacturer != desc.componentManufacturer))
        return kAudioUnitErr_InvalidPropertyValue;

    CFTypeRef data = CFDictionaryGetValue(dict, CFSTR(kAUPresetDataKey));
    if (!data) return noErr;
    if (CFGetTypeID(data) != CFDataGetTypeID()) return kAudioUnitErr_InvalidPropertyValue;
    CFDataRef block = static_cast<CFDataRef>(data);
    const UInt8* p = CFDataGetBytePtr(block);
    size_t length = (size_t)CFDataGetLength(block);
    if (length < 4) return kAudioUnitErr_InvalidPropertyValue;
    UInt32 count = get_be32(p);
    if ((length - 4) / 8 != count || (length - 4) % 8 != 0) return kAudioUnitErr_InvalidPropertyValue;
    AUElement* g = Globals();
    for (UInt32 i = 0; i < count; ++i) {
        const UInt8* rec = p + 4 + 8 * (size_t)i;
        UInt32 bits = get_be32(rec + 4);
        Float32 v;
        std::memcpy(&v, &bits, sizeof v);
        // Parameters this unit does not have, or values that are not numbers, are skipped.
        if (std::isfinite(v)) g->SetParameter(get_be32(rec), v);
    }
    return noErr;
}

// ------------------------------------------------------------- rendering

ComponentResult AUBase::Render(AudioUnitRenderActionFlags&, const AudioTimeStamp&, UInt32) { return noErr; }

bool AUBase::NeedsToRender(const AudioTimeStamp& inTimeStamp, UInt32 inNumberFrames)
{
    return !mRendered || inTimeStamp.mSampleTime != mLastRenderSampleTime || inNumberFrames != mLastRenderFrames;
}

ComponentResult AUBase::DoRender(AudioUnitRenderActionFlags* ioActionFlags, const AudioTimeStamp* inTimeStamp,
                                 UInt32 inBusNumber, UInt32 inNumberFrames, AudioBufferList* ioData)
{
    if (!inTimeStamp || !ioData) return paramErr;
    if (!mInitialized) return kAudioUnitErr_Uninitialized;
    AUOutputElement* out = GetOutput(inBusNumber);
    if (!out) return kAudioUnitErr_InvalidElement;
    if (inNumberFrames > mMaxFramesPerSlice) return kAudioUnitErr_TooManyFramesToProcess;

    // The host's list must match the bus: one buffer per channel, each null
    // (the unit lends its own) or big enough.
    const UInt32 bytes = inNumberFrames * kFloatBytes;
    if (ioData->mNumberBuffers != out->NumberChannels()) return paramErr;
    for (UInt32 i = 0; i < ioData->mNumberBuffers; ++i)
        if (ioData->mBuffers[i].mData && ioData->mBuffers[i].mDataByteSize < bytes) return paramErr;

    AudioUnitRenderActionFlags localFlags = 0;
    AudioUnitRenderActionFlags& flags = ioActionFlags ? *ioActionFlags : localFlags;

    if (NeedsToRender(*inTimeStamp, inNumberFrames)) {
        mRendered = false;
        ++mRenderCycle;
        ComponentResult err = Render(flags, *inTimeStamp, inNumberFrames);
        if (err != noErr) return err;
        // Lists lent by the host or an input are valid only during this call.
        for (UInt32 i = 0; i < mOutputs.GetNumberOfElements(); ++i)
            if (GetOutput(i)->PreparedInCycle(mRenderCycle)) GetOutput(i)->KeepBorrowedData(inNumberFrames);
        mRendered = true;
        mLastRenderSampleTime = inTimeStamp->mSampleTime;
        mLastRenderFrames = inNumberFrames;
    }

    bool silent = !out->PreparedInCycle(mRenderCycle);
    AudioBufferList& own = out->IsBorrowed() || silent ? out->PrepareBuffer(inNumberFrames) : out->GetBufferList();
    for (UInt32 i = 0; i < ioData->mNumberBuffers; ++i) {
        AudioBuffer& dst = ioData->mBuffers[i];
        void* src = own.mBuffers[i].mData;
        if (!src) {  // an element added after initialisation has no memory
            if (dst.mData) std::memset(dst.mData, 0, bytes);
            silent = true;
            continue;
        }
        if (silent) std::memset(src, 0, bytes);
        if (!dst.mData) dst.mData = src;
        else if (dst.mData != src) std::memcpy(dst.mData, src, bytes);
        dst.mDataByteSize = bytes;
        dst.mNumberChannels = 1;
    }
    if (silent) flags |= kAudioUnitRenderAction_OutputIsSilence;
    return noErr;
}

// ------------------------------------------------------ host callbacks

OSStatus AUBase::CallHostBeatAndTempo(Float64* outCurrentBeat, Float64* outCurrentTempo)
{
    if (!mHostCallbackInfo.beatAndTempoProc) return kAudioUnitErr_CannotDoInCurrentContext;
    Float64 beat = 0, tempo = 0;
    OSStatus err = mHostCallbackInfo.beatAndTempoProc(mHostCallbackInfo.hostUserData, &beat, &tempo);
    if (err == noErr) {
        if (outCurrentBeat) *outCurrentBeat = beat;
        if (outCurrentTempo) *outCurrentTempo = tempo;
    }
    return err;
}

OSStatus AUBase::CallHostMusicalTimeLocation(UInt32* outDeltaSampleOffsetToNextBeat, Float32* outTimeSig_Numerator,
                                             UInt32* outTimeSig_Denominator, Float64* outCurrentMeasureDownBeat)
{
    if (!mHostCallbackInfo.musicalTimeLocationProc) return kAudioUnitErr_CannotDoInCurrentContext;
    UInt32 delta = 0, den = outTimeSig_Denominator ? *outTimeSig_Denominator : 4;
    Float32 num = outTimeSig_Numerator ? *outTimeSig_Numerator : 4.0f;
    Float64 downbeat = 0;
    OSStatus err = mHostCallbackInfo.musicalTimeLocationProc(mHostCallbackInfo.hostUserData, &delta, &num, &den,
                                                             &downbeat);
    if (err == noErr) {
        if (outDeltaSampleOffsetToNextBeat) *outDeltaSampleOffsetToNextBeat = delta;
        if (outTimeSig_Numerator) *outTimeSig_Numerator = num;
        if (outTimeSig_Denominator) *outTimeSig_Denominator = den;
        if (outCurrentMeasureDownBeat) *outCurrentMeasureDownBeat = downbeat;
    }
    return err;
}

// ------------------------------------------------------------ dispatch

bool AUBase::CanDo(SInt16 selector)
{
    switch (selector) {
    case kComponentOpenSelect:
    case kComponentCloseSelect:
    case kComponentCanDoSelect:
    case kComponentVersionSelect:
    case kAudioUnitInitializeSelect:
    case kAudioUnitUninitializeSelect:
    case kAudioUnitGetPropertyInfoSelect:
    case kAudioUnitGetPropertySelect:
    case kAudioUnitSetPropertySelect:
    case kAudioUnitGetParameterSelect:
    case kAudioUnitSetParameterSelect:
    case kAudioUnitResetSelect:
    case kAudioUnitRenderSelect:
        return true;
    default:
        return false;
    }
}

ComponentResult AUBase::ComponentEntryDispatch(ComponentParameters* params, AUBase* This)
{
    if (!params) return paramErr;
    if (!This) return badComponentInstance;
    switch (params->what) {
    case kComponentCanDoSelect:
        return CanDo((SInt16)CallArgs{params, 1}.u32(0)) ? 1 : 0;
    case kComponentVersionSelect:
        return This->Version();
    case kAudioUnitInitializeSelect:
        return This->DoInitialize();
    case kAudioUnitUninitializeSelect:
        This->DoCleanup();
        return noErr;
    case kAudioUnitGetPropertyInfoSelect: {
        const CallArgs a{params, 5};
        return This->DispatchGetPropertyInfo(a.u32(0), a.u32(1), a.u32(2), static_cast<UInt32*>(a.ptr(3)),
                                             static_cast<Boolean*>(a.ptr(4)));
    }
    case kAudioUnitGetPropertySelect: {
        const CallArgs a{params, 5};
        return This->DispatchGetProperty(a.u32(0), a.u32(1), a.u32(2), a.ptr(3), static_cast<UInt32*>(a.ptr(4)));
    }
    case kAudioUnitSetPropertySelect: {
        const CallArgs a{params, 5};
        return This->DispatchSetProperty(a.u32(0), a.u32(1), a.u32(2), a.ptr(3), a.u32(4));
    }
    case kAudioUnitGetParameterSelect: {
        const CallArgs a{params, 4};
        Float32* out = static_cast<Float32*>(a.ptr(3));
        if (!out) return paramErr;
        return This->GetParameter(a.u32(0), a.u32(1), a.u32(2), *out);
    }
    case kAudioUnitSetParameterSelect: {
        const CallArgs a{params, 5};
        UInt32 bits = a.u32(3);
        Float32 value;
        std::memcpy(&value, &bits, sizeof value);
        return This->SetParameter(a.u32(0), a.u32(1), a.u32(2), value, a.u32(4));
    }
    case kAudioUnitResetSelect: {
        const CallArgs a{params, 2};
        return This->DoReset(a.u32(0), a.u32(1));
    }
    case kAudioUnitRenderSelect: {
        const CallArgs a{params, 5};
        return This->DoRender(static_cast<AudioUnitRenderActionFlags*>(a.ptr(0)),
                              static_cast<const AudioTimeStamp*>(a.ptr(1)), a.u32(2), a.u32(3),
                              static_cast<AudioBufferList*>(a.ptr(4)));
    }
    default:
        return badComponentSelector;
    }
}
