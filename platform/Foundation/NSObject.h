#pragma once
#include <atomic>
#include <string>

#include <Foundation/NSObjCRuntime.h>

#pragma GCC visibility push(default)

class NSObject {
public:
    static NSObject* alloc() { return new NSObject(); }
    NSObject* init() { return this; }

    NSObject* retain();
    void release();

    virtual BOOL isEqual(const NSObject* other) const { return other == this; }
    // Text for "%@" in formats.
    virtual std::string description() const;

    NSObject(const NSObject&) = delete;
    NSObject& operator=(const NSObject&) = delete;

protected:
    NSObject() : _refs(1), _immortal(false) {}
    virtual ~NSObject() = default;

    // Runs on the last release. An override ends by calling its base's dealloc().
    virtual void dealloc();

    // For shared instances and literals: retain and release do nothing.
    void makeImmortal() { _immortal = true; }

private:
    std::atomic<long> _refs;
    bool _immortal;
};

#pragma GCC visibility pop
