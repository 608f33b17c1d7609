#include <CoreFoundation/CFArray.h>

#include <vector>

#include "cf_object.h"

namespace {
const void* retain_cf(CFAllocatorRef, const void* v) { return CFRetain(v); }
void release_cf(CFAllocatorRef, const void* v) { CFRelease(v); }
Boolean equal_cf(const void* a, const void* b) { return CFEqual(a, b); }
} // namespace

extern "C" const CFArrayCallBacks kCFTypeArrayCallBacks = {0, retain_cf, release_cf, nullptr, equal_cf};

struct __CFArray : qmcf::Object {
    explicit __CFArray(const CFArrayCallBacks* cb) : Object(qmcf::kArrayType)
    {
        if (cb) callbacks = *cb;
    }
    ~__CFArray() override
    {
        if (callbacks.release)
            for (const void* v : values) callbacks.release(kCFAllocatorDefault, v);
    }

    bool equal(const Object& other) const override
    {
        const __CFArray& o = static_cast<const __CFArray&>(other);
        if (values.size() != o.values.size()) return false;
        for (size_t i = 0; i < values.size(); ++i) {
            bool same = callbacks.equal ? callbacks.equal(values[i], o.values[i]) : values[i] == o.values[i];
            if (!same) return false;
        }
        return true;
    }
    CFHashCode hash() const override { return values.size(); }

    void append(const void* v)
    {
        values.push_back(callbacks.retain ? callbacks.retain(kCFAllocatorDefault, v) : v);
    }

    CFArrayCallBacks callbacks = {0, nullptr, nullptr, nullptr, nullptr};
    std::vector<const void*> values;
    bool is_mutable = false;
};

namespace {
__CFArray* array(CFTypeRef a) { return qmcf::as<__CFArray>(a, qmcf::kArrayType); }
} // namespace

extern "C" {

CFTypeID CFArrayGetTypeID(void) { return qmcf::kArrayType; }

CFArrayRef CFArrayCreate(CFAllocatorRef, const void** values, CFIndex numValues, const CFArrayCallBacks* callBacks)
{
    if (numValues < 0 || (!values && numValues > 0)) return nullptr;
    __CFArray* a = new __CFArray(callBacks);
    a->values.reserve((size_t)numValues);
    for (CFIndex i = 0; i < numValues; ++i) a->append(values[i]);
    return a;
}

CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef, CFIndex capacity, const CFArrayCallBacks* callBacks)
{
    if (capacity < 0) return nullptr;
    __CFArray* a = new __CFArray(callBacks);
    a->is_mutable = true;
    return a;
}

CFIndex CFArrayGetCount(CFArrayRef theArray)
{
    const __CFArray* a = array(theArray);
    return a ? (CFIndex)a->values.size() : 0;
}

const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx)
{
    const __CFArray* a = array(theArray);
    if (!a || idx < 0 || idx >= (CFIndex)a->values.size()) return nullptr;
    return a->values[(size_t)idx];
}

void CFArrayAppendValue(CFMutableArrayRef theArray, const void* value)
{
    __CFArray* a = array(theArray);
    if (a && a->is_mutable) a->append(value);
}

} // extern "C"
