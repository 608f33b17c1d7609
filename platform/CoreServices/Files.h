#pragma once
// File references: a reference names a file system object that existed when
// it was made. A host and a plug-in each link their own copy of this library
// and hand references across, so a reference holds the object's path itself.
#include <CoreFoundation/MacTypes.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    fnfErr = -43,         // no such file or folder
    bdNamErr = -37,       // a name that is too long or empty
};

typedef struct FSRef {
    UInt8 hidden[4096];   // the object's canonical path, NUL-terminated
} FSRef;

// Refers to an existing object (symbolic links followed); isDirectory may be null.
OSStatus FSPathMakeRef(const UInt8* path, FSRef* ref, Boolean* isDirectory);
// The object's path, UTF-8 and NUL-terminated; bdNamErr when it does not fit.
OSStatus FSRefMakePath(const FSRef* ref, UInt8* path, UInt32 maxPathSize);

#ifdef __cplusplus
}
#endif
