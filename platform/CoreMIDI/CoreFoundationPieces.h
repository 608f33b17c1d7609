#pragma once
// >>> TEMPORARY: swap for the CoreFoundation stand-in. <<<
// The CFString pieces CoreMIDI uses for names. Once platform/CoreFoundation/
// is in the tree this header only includes it (and CMakeLists.txt links
// it); the definitions below serve until then and can be deleted with the
// #else branch.
#if __has_include(<CoreFoundation/CoreFoundation.h>)
#include <CoreFoundation/CoreFoundation.h>
#else
#include <stddef.h>
#include <stdint.h>

typedef uint8_t UInt8;
typedef uint16_t UInt16;
typedef int16_t SInt16;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef uint64_t UInt64;
typedef unsigned char Boolean;
typedef unsigned char Byte;
typedef SInt32 OSStatus;
enum { noErr = 0 };

#ifdef __cplusplus
extern "C" {
#endif

typedef long CFIndex;
typedef const void* CFTypeRef;
typedef const struct __CFAllocator* CFAllocatorRef;
typedef const struct __CFString* CFStringRef;
typedef UInt32 CFStringEncoding;
#define kCFAllocatorDefault ((CFAllocatorRef)0)
enum { kCFStringEncodingUTF8 = 0x08000100 };

CFStringEncoding CFStringGetSystemEncoding(void);
CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr, CFStringEncoding encoding);
Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize, CFStringEncoding encoding);
CFStringRef __CFStringMakeConstantString(const char* cStr);
#define CFSTR(cStr) __CFStringMakeConstantString("" cStr "")
void CFRelease(CFTypeRef cf);
Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2);

#ifdef __cplusplus
}
#endif
#endif
