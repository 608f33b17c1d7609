#pragma once
// Boxed integers and floating-point numbers.
#include <CoreFoundation/CFBase.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef const struct __CFNumber* CFNumberRef;

typedef enum {
    kCFNumberSInt8Type = 1,
    kCFNumberSInt16Type = 2,
    kCFNumberSInt32Type = 3,
    kCFNumberSInt64Type = 4,
    kCFNumberFloat32Type = 5,
    kCFNumberFloat64Type = 6,
    kCFNumberCharType = 7,
    kCFNumberShortType = 8,
    kCFNumberIntType = 9,
    kCFNumberLongType = 10,
    kCFNumberLongLongType = 11,
    kCFNumberFloatType = 12,
    kCFNumberDoubleType = 13,
    kCFNumberCFIndexType = 14
} CFNumberType;

CFTypeID CFNumberGetTypeID(void);
// Null for an unknown type or a null value pointer.
CFNumberRef CFNumberCreate(CFAllocatorRef alloc, CFNumberType theType, const void* valuePtr);
Boolean CFNumberIsFloatType(CFNumberRef number);
// Writes the value converted to the type; false when the conversion lost
// something (a fraction, a range) or the type is unknown.
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr);

#ifdef __cplusplus
}
#endif
