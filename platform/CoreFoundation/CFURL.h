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

CFTypeID CFURLGetTypeID(void);
// Null for an empty path or a style other than POSIX.
CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef alloc, CFStringRef filePath, CFURLPathStyle pathStyle,
                                       Boolean isDirectory);
CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef alloc, const UInt8* buffer, CFIndex bufLen,
                                                 Boolean isDirectory);
// The path without a trailing slash (but "/" stays); the caller releases it.
CFStringRef CFURLCopyFileSystemPath(CFURLRef anURL, CFURLPathStyle pathStyle);
// The path as a NUL-terminated UTF-8 string; false when it does not fit.
Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean resolveAgainstBase, UInt8* buffer, CFIndex maxBufLen);
Boolean CFURLHasDirectoryPath(CFURLRef anURL);

#ifdef __cplusplus
}
#endif
