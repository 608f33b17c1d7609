#pragma once
#include <vector>

#include <Foundation/NSObject.h>

#pragma GCC visibility push(default)

class NSData : public NSObject {
public:
    static NSData* alloc() { return new NSData(); }
    NSData* init() { return this; }
    NSData* initWithBytes(const void* bytes, NSUInteger length);

    const void* bytes() const { return _bytes.data(); }
    NSUInteger length() const { return _bytes.size(); }

protected:
    NSData() = default;

private:
    std::vector<unsigned char> _bytes;
};

#pragma GCC visibility pop
