#pragma once
// Blocks of raw bytes.
#include <CoreFoundation/CFBase.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef const struct __CFData* CFDataRef;

CFTypeID CFDataGetTypeID(void);
// Null for a negative length, or a null pointer with a non-zero length.
CFDataRef CFDataCreate(CFAllocatorRef alloc, const UInt8* bytes, CFIndex length);
CFIndex CFDataGetLength(CFDataRef theData);
const UInt8* CFDataGetBytePtr(CFDataRef theData);

#ifdef __cplusplus
}
#endif
