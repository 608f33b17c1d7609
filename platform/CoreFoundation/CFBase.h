#pragma once
// Reference-counted object handles shared by every CoreFoundation type.
#include <CoreFoundation/MacTypes.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef long CFIndex;
typedef unsigned long CFTypeID;
typedef unsigned long CFHashCode;

typedef const void* CFTypeRef;
// Any property-list object: dictionary, array, string, data or number.
typedef CFTypeRef CFPropertyListRef;

typedef const struct __CFAllocator* CFAllocatorRef;
typedef const struct __CFString* CFStringRef;

// Only the default allocator exists; any allocator argument is accepted and
// treated as the default.
#define kCFAllocatorDefault ((CFAllocatorRef)0)

enum { kCFNotFound = -1 };

// A null object is tolerated everywhere: retain and release ignore it,
// CFGetTypeID gives 0 (no type has that id), CFEqual is true only for two nulls.
CFTypeRef CFRetain(CFTypeRef cf);
void CFRelease(CFTypeRef cf);
CFIndex CFGetRetainCount(CFTypeRef cf);
CFTypeID CFGetTypeID(CFTypeRef cf);
Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2);
CFHashCode CFHash(CFTypeRef cf);

#ifdef __cplusplus
}
#endif
