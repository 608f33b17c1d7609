#pragma once
// Scopes and their elements: the global element holds the unit's parameters,
// input and output elements (buses) also hold a stream format and the sample
// buffers of the current render call.
#include <AudioUnit/AudioUnit.h>
#include <AUPublic/CAStreamBasicDescription.h>

#include <atomic>
#include <memory>
#include <vector>

class AUBase;

class AUElement {
public:
    explicit AUElement(AUBase* audioUnit) : mAudioUnit(audioUnit) {}
    virtual ~AUElement() {}
    AUElement(const AUElement&) = delete;
    AUElement& operator=(const AUElement&) = delete;

    // Parameters 0 .. n-1, all 0 at first. Set up before the host uses the unit.
    void UseIndexedParameters(int numberOfParameters);
    UInt32 GetNumberOfParameters() const { return mNumParameters; }
    bool HasParameterID(AudioUnitParameterID id) const { return id < mNumParameters; }
    // Any thread, without locks; an unknown id reads 0 and ignores a write.
    AudioUnitParameterValue GetParameter(AudioUnitParameterID id) const;
    void SetParameter(AudioUnitParameterID id, AudioUnitParameterValue value);

    AUBase* GetAudioUnit() const { return mAudioUnit; }

private:
    AUBase* mAudioUnit;
    std::unique_ptr<std::atomic<AudioUnitParameterValue>[]> mParameters;
    UInt32 mNumParameters = 0;
};

class AUIOElement : public AUElement {
public:
    explicit AUIOElement(AUBase* audioUnit);

    const CAStreamBasicDescription& GetStreamFormat() const { return mStreamFormat; }
    // Drops the sample memory; the base allocates it again at initialisation.
    virtual OSStatus SetStreamFormat(const CAStreamBasicDescription& desc);
    UInt32 NumberChannels() const { return mStreamFormat.NumberChannels(); }

    // Sample memory for that many frames on every channel (may throw bad_alloc).
    void AllocateBuffer(UInt32 inFramesToAllocate);
    void DeallocateBuffer();

    // Points the element's list at its own memory, sized for nFrames (never
    // more than was allocated), and returns it.
    AudioBufferList& PrepareBuffer(UInt32 nFrames);
    // Uses another list (in-place processing) for the current render call.
    void SetBufferList(AudioBufferList& abl);
    AudioBufferList& GetBufferList() const { return *mIOData; }

    // Render bookkeeping for the base: whether the list was prepared or set
    // during render call `cycle`, and whether it is borrowed from elsewhere.
    bool PreparedInCycle(UInt64 cycle) const { return mPreparedCycle == cycle; }
    bool IsBorrowed() const { return mIOData != OwnList(); }
    // Copies a borrowed list's samples into the element's own memory and uses that.
    void KeepBorrowedData(UInt32 nFrames);

protected:
    AudioBufferList* OwnList() const { return reinterpret_cast<AudioBufferList*>(mListStorage.data()); }
    void ResetOwnList(UInt32 nFrames);

    CAStreamBasicDescription mStreamFormat;
    std::vector<Float32> mMemory;
    UInt32 mAllocatedFrames = 0;
    mutable std::vector<UInt64> mListStorage;  // an AudioBufferList with one buffer per channel
    AudioBufferList* mIOData;
    UInt64 mPreparedCycle = 0;
};

class AUInputElement : public AUIOElement {
public:
    explicit AUInputElement(AUBase* audioUnit) : AUIOElement(audioUnit) {}

    // Each replaces the other; a null procedure or source disconnects.
    void SetInputCallback(AURenderCallback proc, void* refCon);
    void SetConnection(const AudioUnitConnection& conn);
    bool IsActive() const { return mCallback || mConnection.sourceAudioUnit; }
    const AudioUnitConnection& GetConnection() const { return mConnection; }

    // Fills the element's buffers from the callback or the connected unit for
    // nFrames. kAudioUnitErr_NoConnection without a source; the source's status
    // on failure; paramErr when the source broke the buffer list.
    OSStatus PullInput(AudioUnitRenderActionFlags& ioActionFlags, const AudioTimeStamp& inTimeStamp,
                       AudioUnitElement inElement, UInt32 nFrames);

private:
    AURenderCallback mCallback = nullptr;
    void* mCallbackRefCon = nullptr;
    AudioUnitConnection mConnection = {nullptr, 0, 0};
};

class AUOutputElement : public AUIOElement {
public:
    explicit AUOutputElement(AUBase* audioUnit) : AUIOElement(audioUnit) {}
};

class AUScope {
public:
    AUScope() {}
    AUScope(const AUScope&) = delete;
    AUScope& operator=(const AUScope&) = delete;

    void Initialize(AUBase* audioUnit, AudioUnitScope scope, UInt32 numElements);
    AudioUnitScope GetScope() const { return mScope; }
    UInt32 GetNumberOfElements() const { return (UInt32)mElements.size(); }
    // Grows with elements made by AUBase::CreateElement, or shrinks.
    void SetNumberOfElements(UInt32 numElements);
    // Null when there is no such element.
    AUElement* GetElement(UInt32 elementIndex) const;
    AUIOElement* GetIOElement(UInt32 elementIndex) const;

private:
    AUBase* mAudioUnit = nullptr;
    AudioUnitScope mScope = kAudioUnitScope_Global;
    std::vector<std::unique_ptr<AUElement>> mElements;
};
