#pragma once
// Immutable Unicode strings, converted to and from C strings.
#include <CoreFoundation/CFBase.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef UInt32 CFStringEncoding;

// The encodings this system converts; creating or reading a string in any
// other one fails (null or false).
enum {
    kCFStringEncodingASCII = 0x0600,
    kCFStringEncodingISOLatin1 = 0x0201,
    kCFStringEncodingUTF8 = 0x08000100
};

CFTypeID CFStringGetTypeID(void);
CFStringEncoding CFStringGetSystemEncoding(void);

// Null for a null pointer, an unsupported encoding or bytes that are not
// valid in that encoding.
CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr, CFStringEncoding encoding);
CFStringRef CFStringCreateWithBytes(CFAllocatorRef alloc, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation);

// Length in UTF-16 code units.
CFIndex CFStringGetLength(CFStringRef theString);
CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding);
// Writes the string and a terminating NUL; false (buffer untouched but for a
// leading NUL) when it does not fit or a character has no form in the encoding.
Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize, CFStringEncoding encoding);
// The string's own NUL-terminated bytes when they are already in that
// encoding, else null.
const char* CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding);

// A string that lives as long as the process and ignores retain and release.
CFStringRef __CFStringMakeConstantString(const char* cStr);
#define CFSTR(cStr) __CFStringMakeConstantString("" cStr "")

#ifdef __cplusplus
}
#endif
