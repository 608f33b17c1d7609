#pragma once
#include <cstdarg>
#include <string>

#include <Foundation/NSObject.h>

#pragma GCC visibility push(default)

class NSData;

typedef NSUInteger NSStringEncoding;
constexpr NSStringEncoding NSUTF8StringEncoding = 4;

// Immutable text, kept as UTF-8.
class NSString : public NSObject {
public:
    static NSString* alloc() { return new NSString(); }
    NSString* init() { return this; }
    // Null text gives nullptr (the object is released).
    NSString* initWithUTF8String(const char* text);
    // Bytes that are not valid UTF-8 give nullptr (the object is released).
    NSString* initWithData(NSData* data, NSStringEncoding encoding);
    // Knows "%@" (an object's description) and "%%"; any other conversion is
    // copied as it stands.
    NSString* initWithFormat(NSString* format, va_list arguments);

    const char* UTF8String() const { return _text.c_str(); }
    BOOL isEqualToString(const NSString* other) const;
    BOOL isEqual(const NSObject* other) const override;
    std::string description() const override { return _text; }

    // What NSSTR stands on: an instance that lives for the whole program.
    static NSString* literal(const char* text);

protected:
    NSString() = default;

private:
    std::string _text;
};

// Stands in for a string literal: one immortal instance per place of use.
#define NSSTR(text) ([]() -> NSString* { static NSString* const s = NSString::literal(text); return s; }())

#pragma GCC visibility pop
