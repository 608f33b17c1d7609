#pragma once
// File URLs, as a file chooser hands them out.
#include <CoreFoundation/CFBase.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef const struct __CFURL* CFURLRef;

typedef enum {
    kCFURLPOSIXPathStyle = 0
} CFURLPathStyle;

// Null for an empty path or bytes that are not UTF-8; isDirectory is not kept.
CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef alloc, const UInt8* buffer, CFIndex bufLen,
                                                 Boolean isDirectory);
// The path without a trailing slash (but "/" stays); the caller releases it.
CFStringRef CFURLCopyFileSystemPath(CFURLRef anURL, CFURLPathStyle pathStyle);
// The path as a NUL-terminated UTF-8 string; false when it does not fit.
Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean resolveAgainstBase, UInt8* buffer, CFIndex maxBufLen);

// Comes with the file references (CoreServices/Files.h); link CoreServices.
struct FSRef;
CFURLRef CFURLCreateFromFSRef(CFAllocatorRef allocator, const struct FSRef* fsRef);

#ifdef __cplusplus
}
#endif
