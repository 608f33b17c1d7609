#pragma once
// The basic scalar types and status codes every platform interface uses.
#include <stddef.h>
#include <stdint.h>

typedef uint8_t UInt8;
typedef int8_t SInt8;
typedef uint16_t UInt16;
typedef int16_t SInt16;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef uint64_t UInt64;
typedef int64_t SInt64;
typedef float Float32;
typedef double Float64;
typedef unsigned char Boolean;
typedef unsigned char Byte;

typedef SInt32 OSStatus;
typedef SInt16 OSErr;
typedef UInt32 FourCharCode;
typedef FourCharCode OSType;

typedef char* Ptr;
typedef Ptr* Handle;
typedef long Size;
typedef unsigned long ItemCount;
typedef unsigned long ByteCount;
typedef FourCharCode ResType;

// Window coordinates: v down, h across.
typedef struct Point {
    SInt16 v;
    SInt16 h;
} Point;

typedef struct Rect {
    SInt16 top;
    SInt16 left;
    SInt16 bottom;
    SInt16 right;
} Rect;

enum {
    noErr = 0,
    paramErr = -50,
    memFullErr = -108
};
