#pragma once
// A stream format with the questions the base classes and plug-ins ask of it.
#include <CoreAudio/CoreAudioTypes.h>

#include <cstring>

class CAStreamBasicDescription : public AudioStreamBasicDescription {
public:
    CAStreamBasicDescription() { std::memset(static_cast<AudioStreamBasicDescription*>(this), 0, sizeof(AudioStreamBasicDescription)); }
    CAStreamBasicDescription(const AudioStreamBasicDescription& desc) : AudioStreamBasicDescription(desc) {}
    // The canonical Audio Unit format: 32-bit float, one buffer per channel.
    CAStreamBasicDescription(Float64 sampleRate, UInt32 channels) : CAStreamBasicDescription()
    {
        mSampleRate = sampleRate;
        mFormatID = kAudioFormatLinearPCM;
        mFormatFlags = kAudioFormatFlagsAudioUnitCanonical;
        mChannelsPerFrame = channels;
        mFramesPerPacket = 1;
        mBitsPerChannel = 32;
        mBytesPerFrame = mBytesPerPacket = 4;
    }

    UInt32 NumberChannels() const { return mChannelsPerFrame; }
    bool IsPCM() const { return mFormatID == kAudioFormatLinearPCM; }
    bool IsInterleaved() const { return !(mFormatFlags & kAudioFormatFlagIsNonInterleaved); }
    UInt32 NumberChannelStreams() const { return IsInterleaved() ? 1 : mChannelsPerFrame; }

    // Native-endian packed 32-bit float, one buffer per channel, at least one
    // channel and a finite positive rate.
    bool IsAUCanonical() const
    {
        const UInt32 need = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved;
        const UInt32 refuse = kAudioFormatFlagIsBigEndian | kAudioFormatFlagIsSignedInteger |
                              kAudioFormatFlagIsAlignedHigh | kAudioFormatFlagIsNonMixable;
        return IsPCM() && (mFormatFlags & need) == need && !(mFormatFlags & refuse) && mBitsPerChannel == 32 &&
               mBytesPerFrame == 4 && mBytesPerPacket == 4 && mFramesPerPacket == 1 && mChannelsPerFrame > 0 &&
               mSampleRate > 0.0 && mSampleRate <= 1e7;
    }

    bool IsEqual(const AudioStreamBasicDescription& o) const
    {
        return mSampleRate == o.mSampleRate && mFormatID == o.mFormatID && mFormatFlags == o.mFormatFlags &&
               mBytesPerPacket == o.mBytesPerPacket && mFramesPerPacket == o.mFramesPerPacket &&
               mBytesPerFrame == o.mBytesPerFrame && mChannelsPerFrame == o.mChannelsPerFrame &&
               mBitsPerChannel == o.mBitsPerChannel;
    }
};
