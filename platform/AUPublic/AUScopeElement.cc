#include <AUPublic/AUBase.h>
#include <AUPublic/AUScopeElement.h>

#include <cstddef>
#include <cstring>

namespace {
const Float64 kDefaultSampleRate = 44100.0;
const UInt32 kDefaultChannels = 2;

size_t list_bytes(UInt32 buffers)
{
    return offsetof(AudioBufferList, mBuffers) + (buffers ? buffers : 1) * sizeof(AudioBuffer);
}
} // namespace

void AUElement::UseIndexedParameters(int numberOfParameters)
{
    UInt32 n = numberOfParameters > 0 ? (UInt32)numberOfParameters : 0;
    mParameters.reset(n ? new std::atomic<AudioUnitParameterValue>[n] : nullptr);
    for (UInt32 i = 0; i < n; ++i) mParameters[i].store(0.0f);
    mNumParameters = n;
}

AudioUnitParameterValue AUElement::GetParameter(AudioUnitParameterID id) const
{
    return HasParameterID(id) ? mParameters[id].load(std::memory_order_relaxed) : 0.0f;
}

void AUElement::SetParameter(AudioUnitParameterID id, AudioUnitParameterValue value)
{
    if (HasParameterID(id)) mParameters[id].store(value, std::memory_order_relaxed);
}

AUIOElement::AUIOElement(AUBase* audioUnit) : AUElement(audioUnit)
{
    mStreamFormat = CAStreamBasicDescription(kDefaultSampleRate, kDefaultChannels);
    SetStreamFormat(mStreamFormat);
}

OSStatus AUIOElement::SetStreamFormat(const CAStreamBasicDescription& desc)
{
    mStreamFormat = desc;
    DeallocateBuffer();
    mListStorage.assign((list_bytes(desc.NumberChannelStreams()) + sizeof(UInt64) - 1) / sizeof(UInt64), 0);
    mIOData = OwnList();
    ResetOwnList(0);
    return noErr;
}

void AUIOElement::AllocateBuffer(UInt32 inFramesToAllocate)
{
    mMemory.assign((size_t)inFramesToAllocate * mStreamFormat.NumberChannels(), 0.0f);
    mAllocatedFrames = inFramesToAllocate;
    mIOData = OwnList();
    ResetOwnList(0);
}

void AUIOElement::DeallocateBuffer()
{
    std::vector<Float32>().swap(mMemory);
    mAllocatedFrames = 0;
    mIOData = OwnList();
    if (!mListStorage.empty()) ResetOwnList(0);
}

void AUIOElement::ResetOwnList(UInt32 nFrames)
{
    AudioBufferList* abl = OwnList();
    UInt32 streams = mStreamFormat.NumberChannelStreams();
    UInt32 perStream = mStreamFormat.IsInterleaved() ? mStreamFormat.NumberChannels() : 1;
    if (nFrames > mAllocatedFrames) nFrames = mAllocatedFrames;
    abl->mNumberBuffers = streams;
    for (UInt32 i = 0; i < streams; ++i) {
        AudioBuffer& b = abl->mBuffers[i];
        b.mNumberChannels = perStream;
        b.mDataByteSize = nFrames * perStream * (UInt32)sizeof(Float32);
        b.mData = mAllocatedFrames ? mMemory.data() + (size_t)i * mAllocatedFrames * perStream : nullptr;
    }
}

AudioBufferList& AUIOElement::PrepareBuffer(UInt32 nFrames)
{
    mIOData = OwnList();
    ResetOwnList(nFrames);
    mPreparedCycle = GetAudioUnit()->RenderCycle();
    return *mIOData;
}

void AUIOElement::SetBufferList(AudioBufferList& abl)
{
    mIOData = &abl;
    mPreparedCycle = GetAudioUnit()->RenderCycle();
}

void AUIOElement::KeepBorrowedData(UInt32 nFrames)
{
    if (!IsBorrowed()) return;
    AudioBufferList* from = mIOData;
    AudioBufferList& own = PrepareBuffer(nFrames);
    for (UInt32 i = 0; i < own.mNumberBuffers; ++i) {
        AudioBuffer& to = own.mBuffers[i];
        if (!to.mData) continue;
        const AudioBuffer* src = i < from->mNumberBuffers ? &from->mBuffers[i] : nullptr;
        UInt32 n = src && src->mData ? (src->mDataByteSize < to.mDataByteSize ? src->mDataByteSize : to.mDataByteSize) : 0;
        if (n && src->mData != to.mData) std::memmove(to.mData, src->mData, n);
        std::memset(static_cast<char*>(to.mData) + n, 0, to.mDataByteSize - n);
    }
}

void AUInputElement::SetInputCallback(AURenderCallback proc, void* refCon)
{
    mCallback = proc;
    mCallbackRefCon = proc ? refCon : nullptr;
    mConnection = AudioUnitConnection{nullptr, 0, 0};
}

void AUInputElement::SetConnection(const AudioUnitConnection& conn)
{
    mConnection = conn;
    mCallback = nullptr;
    mCallbackRefCon = nullptr;
}

OSStatus AUInputElement::PullInput(AudioUnitRenderActionFlags& ioActionFlags, const AudioTimeStamp& inTimeStamp,
                                   AudioUnitElement inElement, UInt32 nFrames)
{
    if (!IsActive()) return kAudioUnitErr_NoConnection;
    if (nFrames > mAllocatedFrames) return kAudioUnitErr_TooManyFramesToProcess;
    AudioBufferList& abl = PrepareBuffer(nFrames);
    OSStatus err;
    if (mCallback)
        err = mCallback(mCallbackRefCon, &ioActionFlags, &inTimeStamp, inElement, nFrames, &abl);
    else
        err = AudioUnitRender(mConnection.sourceAudioUnit, &ioActionFlags, &inTimeStamp,
                              mConnection.sourceOutputNumber, nFrames, &abl);
    if (err != noErr) {
        ResetOwnList(nFrames);
        return err;
    }
    // The source may point buffers at its own memory, but must leave every
    // buffer there and big enough.
    UInt32 need = nFrames * (UInt32)sizeof(Float32) * (mStreamFormat.IsInterleaved() ? NumberChannels() : 1);
    bool ok = abl.mNumberBuffers == mStreamFormat.NumberChannelStreams();
    for (UInt32 i = 0; ok && i < abl.mNumberBuffers; ++i)
        ok = abl.mBuffers[i].mData && abl.mBuffers[i].mDataByteSize >= need;
    if (!ok) {
        ResetOwnList(nFrames);
        return paramErr;
    }
    return noErr;
}

void AUScope::Initialize(AUBase* audioUnit, AudioUnitScope scope, UInt32 numElements)
{
    mAudioUnit = audioUnit;
    mScope = scope;
    SetNumberOfElements(numElements);
}

void AUScope::SetNumberOfElements(UInt32 numElements)
{
    if (numElements < mElements.size()) {
        mElements.resize(numElements);
        return;
    }
    while (mElements.size() < numElements)
        mElements.emplace_back(mAudioUnit->CreateElement(mScope, (AudioUnitElement)mElements.size()));
}

AUElement* AUScope::GetElement(UInt32 elementIndex) const
{
    return elementIndex < mElements.size() ? mElements[elementIndex].get() : nullptr;
}

AUIOElement* AUScope::GetIOElement(UInt32 elementIndex) const
{
    if (mScope != kAudioUnitScope_Input && mScope != kAudioUnitScope_Output) return nullptr;
    return static_cast<AUIOElement*>(GetElement(elementIndex));
}
