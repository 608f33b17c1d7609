#pragma once
#include <Foundation/NSObject.h>

#pragma GCC visibility push(default)

class NSString;
class NSDictionary;

extern NSString* const NSInvalidArgumentException;
extern NSString* const NSRangeException;

// raise() throws the exception object as a pointer; whoever catches it owns it
// and releases it.
class NSException : public NSObject {
public:
    static NSException* alloc() { return new NSException(); }
    NSException* initWithName(NSString* name, NSString* reason, NSDictionary* userInfo);

    [[noreturn]] void raise();
    // A new exception with this name and reason, raised.
    [[noreturn]] static void raise(NSString* name, const std::string& reason);

    NSString* name() const { return _name; }
    NSString* reason() const { return _reason; }
    NSDictionary* userInfo() const { return _userInfo; }
    std::string description() const override;

protected:
    NSException() : _name(nullptr), _reason(nullptr), _userInfo(nullptr) {}
    void dealloc() override;

private:
    NSString* _name;
    NSString* _reason;
    NSDictionary* _userInfo;
};

#pragma GCC visibility pop
