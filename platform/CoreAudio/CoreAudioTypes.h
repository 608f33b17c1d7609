#pragma once
// Stream formats, buffer lists and time stamps shared by hosts and plug-ins.
#include <CoreFoundation/MacTypes.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct AudioStreamBasicDescription {
    Float64 mSampleRate;
    UInt32 mFormatID;
    UInt32 mFormatFlags;
    UInt32 mBytesPerPacket;
    UInt32 mFramesPerPacket;
    UInt32 mBytesPerFrame;
    UInt32 mChannelsPerFrame;
    UInt32 mBitsPerChannel;
    UInt32 mReserved;
} AudioStreamBasicDescription;

enum {
    kAudioFormatLinearPCM = 0x6c70636d  // 'lpcm'
};

enum {
    kAudioFormatFlagIsFloat = (1U << 0),
    kAudioFormatFlagIsBigEndian = (1U << 1),
    kAudioFormatFlagIsSignedInteger = (1U << 2),
    kAudioFormatFlagIsPacked = (1U << 3),
    kAudioFormatFlagIsAlignedHigh = (1U << 4),
    kAudioFormatFlagIsNonInterleaved = (1U << 5),
    kAudioFormatFlagIsNonMixable = (1U << 6),
    kAudioFormatFlagsNativeEndian = 0,
    kAudioFormatFlagsNativeFloatPacked = kAudioFormatFlagIsFloat | kAudioFormatFlagsNativeEndian | kAudioFormatFlagIsPacked,
    // The format every Audio Unit bus uses here: 32-bit float, one buffer per channel.
    kAudioFormatFlagsAudioUnitCanonical = kAudioFormatFlagsNativeFloatPacked | kAudioFormatFlagIsNonInterleaved
};

typedef struct AudioBuffer {
    UInt32 mNumberChannels;
    UInt32 mDataByteSize;
    void* mData;
} AudioBuffer;

// Declared with one buffer; allocated with room for mNumberBuffers.
typedef struct AudioBufferList {
    UInt32 mNumberBuffers;
    AudioBuffer mBuffers[1];
} AudioBufferList;

// Only the sample time is kept: nothing here reads the others.
typedef struct AudioTimeStamp {
    Float64 mSampleTime;
    UInt32 mFlags;
} AudioTimeStamp;

enum {
    kAudioTimeStampSampleTimeValid = (1U << 0)
};

#ifdef __cplusplus
}
#endif
