#pragma once
// The object header behind every CoreFoundation handle. A plug-in and its host
// each link their own copy of this library and pass objects across, so type
// ids are fixed numbers and every operation that depends on the type goes
// through the object's own virtual functions.
#include <CoreFoundation/CFBase.h>

#include <atomic>

namespace qmcf {

enum TypeId : CFTypeID {
    kStringType = 7,
    kDataType = 20,
    kNumberType = 22,
    kArrayType = 19,
    kDictionaryType = 18,
    kURLType = 29
};

struct Object {
    explicit Object(CFTypeID t) : type(t) {}
    virtual ~Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    virtual bool equal(const Object& other) const { return this == &other; }
    virtual CFHashCode hash() const { return (CFHashCode)(uintptr_t)this; }

    std::atomic<CFIndex> refs{1};
    const CFTypeID type;
    bool immortal = false;
};

inline const Object* object(CFTypeRef cf) { return static_cast<const Object*>(cf); }

// The object as T when it is one (by type id), else null.
template <class T>
inline T* as(CFTypeRef cf, CFTypeID id)
{
    if (!cf || object(cf)->type != id) return nullptr;
    return static_cast<T*>(const_cast<Object*>(object(cf)));
}

CFHashCode hash_bytes(const void* p, size_t n);

} // namespace qmcf
