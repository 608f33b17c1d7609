#pragma once
#include <cstdint>
#include <mutex>
#include <vector>

#include <Foundation/NSObject.h>

#pragma GCC visibility push(default)

class NSString;
class NSDictionary;
class NSNotification;

// A notification handler: a member function of the observer's class, taken
// with selector(&Class::method).
typedef void (NSObject::*SEL)(NSNotification*);

template <class T>
SEL selector(void (T::*method)(NSNotification*))
{
    return static_cast<SEL>(method);
}

class NSNotification : public NSObject {
public:
    static NSNotification* alloc() { return new NSNotification(); }
    NSNotification* initWithName(NSString* name, NSObject* object, NSDictionary* userInfo);

    NSString* name() const { return _name; }
    NSObject* object() const { return _object; }
    NSDictionary* userInfo() const { return _userInfo; }

protected:
    NSNotification() : _name(nullptr), _object(nullptr), _userInfo(nullptr) {}
    void dealloc() override;

private:
    NSString* _name;
    NSObject* _object;
    NSDictionary* _userInfo;
};

// Delivers each notification synchronously on the posting thread. Observers
// are not retained: an observer removes itself before it goes away. Removing
// an observer while a notification is being delivered stops its delivery.
class NSNotificationCenter : public NSObject {
public:
    static NSNotificationCenter* defaultCenter();

    // A null name matches every name, a null object every sender.
    void addObserver(NSObject* observer, SEL selector, NSString* name, NSObject* object);
    void removeObserver(NSObject* observer);
    void removeObserver(NSObject* observer, NSString* name, NSObject* object);

    void postNotification(NSNotification* notification);
    void postNotificationName(NSString* name, NSObject* object, NSDictionary* userInfo);

protected:
    NSNotificationCenter() = default;

private:
    struct Registration {
        uint64_t id;
        NSObject* observer;
        SEL selector;
        NSString* name; // retained
        NSObject* object;
    };
    void unregister(NSObject* observer, NSString* name, NSObject* object, bool any);

    std::mutex _lock;
    std::vector<Registration> _registrations;
    uint64_t _next_id = 1;
};

#pragma GCC visibility pop
