#pragma once
// Blocks of raw bytes.
#include <CoreFoundation/CFBase.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef const struct __CFData* CFDataRef;
typedef struct __CFData* CFMutableDataRef;

CFTypeID CFDataGetTypeID(void);
// Null for a negative length, or a null pointer with a non-zero length.
CFDataRef CFDataCreate(CFAllocatorRef alloc, const UInt8* bytes, CFIndex length);
// capacity 0: no limit; otherwise the length never grows past it.
CFMutableDataRef CFDataCreateMutable(CFAllocatorRef alloc, CFIndex capacity);
CFIndex CFDataGetLength(CFDataRef theData);
const UInt8* CFDataGetBytePtr(CFDataRef theData);
UInt8* CFDataGetMutableBytePtr(CFMutableDataRef theData);
// Copies the part of the range that lies inside the data.
void CFDataGetBytes(CFDataRef theData, CFRange range, UInt8* buffer);
void CFDataAppendBytes(CFMutableDataRef theData, const UInt8* bytes, CFIndex length);
// New bytes are zero.
void CFDataSetLength(CFMutableDataRef theData, CFIndex length);

#ifdef __cplusplus
}
#endif
