#include <Foundation/Foundation.h>

#include <algorithm>

NSNotification* NSNotification::initWithName(NSString* name, NSObject* object, NSDictionary* userInfo)
{
    _name = name ? static_cast<NSString*>(name->retain()) : nullptr;
    _object = object ? object->retain() : nullptr;
    _userInfo = userInfo ? static_cast<NSDictionary*>(userInfo->retain()) : nullptr;
    return this;
}

void NSNotification::dealloc()
{
    for (NSObject* o : {static_cast<NSObject*>(_name), _object, static_cast<NSObject*>(_userInfo)}) {
        if (o) {
            o->release();
        }
    }
    NSObject::dealloc();
}

NSNotificationCenter* NSNotificationCenter::defaultCenter()
{
    static NSNotificationCenter* const center = [] {
        NSNotificationCenter* c = new NSNotificationCenter();
        c->makeImmortal();
        return c;
    }();
    return center;
}

void NSNotificationCenter::addObserver(NSObject* observer, SEL selector, NSString* name, NSObject* object)
{
    if (!observer || !selector) {
        return;
    }
    std::lock_guard<std::mutex> lm(_lock);
    _registrations.push_back(Registration{_next_id++, observer, selector,
                                          name ? static_cast<NSString*>(name->retain()) : nullptr,
                                          object});
}

void NSNotificationCenter::removeObserver(NSObject* observer)
{
    unregister(observer, nullptr, nullptr, true);
}

void NSNotificationCenter::removeObserver(NSObject* observer, NSString* name, NSObject* object)
{
    unregister(observer, name, object, false);
}

void NSNotificationCenter::unregister(NSObject* observer, NSString* name, NSObject* object, bool any)
{
    std::vector<NSString*> names;
    {
        std::lock_guard<std::mutex> lm(_lock);
        auto gone = [&](const Registration& r) {
            return r.observer == observer &&
                   (any || ((!name || (r.name && r.name->isEqual(name))) && (!object || r.object == object)));
        };
        for (const Registration& r : _registrations) {
            if (gone(r) && r.name) {
                names.push_back(r.name);
            }
        }
        _registrations.erase(std::remove_if(_registrations.begin(), _registrations.end(), gone),
                             _registrations.end());
    }
    for (NSString* n : names) {
        n->release();
    }
}

void NSNotificationCenter::postNotification(NSNotification* notification)
{
    if (!notification) {
        return;
    }
    std::vector<uint64_t> targets;
    {
        std::lock_guard<std::mutex> lm(_lock);
        for (const Registration& r : _registrations) {
            if ((!r.name || r.name->isEqual(notification->name())) &&
                (!r.object || r.object == notification->object())) {
                targets.push_back(r.id);
            }
        }
    }
    // An observer may remove itself or others while it handles the
    // notification: look each registration up again before calling it.
    notification->retain();
    for (uint64_t id : targets) {
        NSObject* observer = nullptr;
        SEL sel = nullptr;
        {
            std::lock_guard<std::mutex> lm(_lock);
            auto it = std::find_if(_registrations.begin(), _registrations.end(),
                                   [id](const Registration& r) { return r.id == id; });
            if (it == _registrations.end()) {
                continue;
            }
            observer = it->observer;
            sel = it->selector;
        }
        (observer->*sel)(notification);
    }
    notification->release();
}

void NSNotificationCenter::postNotificationName(NSString* name, NSObject* object, NSDictionary* userInfo)
{
    NSNotification* n = NSNotification::alloc()->initWithName(name, object, userInfo);
    postNotification(n);
    n->release();
}
