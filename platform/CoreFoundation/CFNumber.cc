#include <CoreFoundation/CFNumber.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "cf_object.h"

struct __CFNumber : qmcf::Object {
    __CFNumber() : Object(qmcf::kNumberType) {}

    bool equal(const Object& other) const override
    {
        const __CFNumber& o = static_cast<const __CFNumber&>(other);
        if (is_float || o.is_float) return as_double() == o.as_double();
        return i == o.i;
    }
    CFHashCode hash() const override
    {
        // Equal numbers hash alike whatever their storage.
        double v = as_double();
        if (v == 0.0) v = 0.0;  // folds -0.0
        return qmcf::hash_bytes(&v, sizeof v);
    }
    double as_double() const { return is_float ? d : (double)i; }

    bool is_float = false;
    SInt64 i = 0;
    double d = 0.0;
};

namespace {

const __CFNumber* num(CFTypeRef n) { return qmcf::as<const __CFNumber>(n, qmcf::kNumberType); }

// The fixed-width type behind each name.
CFNumberType canonical(CFNumberType t)
{
    switch (t) {
    case kCFNumberCharType: return kCFNumberSInt8Type;
    case kCFNumberShortType: return kCFNumberSInt16Type;
    case kCFNumberIntType: return kCFNumberSInt32Type;
    case kCFNumberLongType:
    case kCFNumberLongLongType:
    case kCFNumberCFIndexType: return kCFNumberSInt64Type;
    case kCFNumberFloatType: return kCFNumberFloat32Type;
    case kCFNumberDoubleType: return kCFNumberFloat64Type;
    default: return t;
    }
}

template <class T>
bool store_int(const __CFNumber* n, void* out)
{
    T v;
    bool exact;
    if (n->is_float) {
        double d = n->d;
        // -min is a power of two, exact as a double, and one past max.
        const double lo = (double)std::numeric_limits<T>::min();
        const double hi = -lo;
        exact = std::isfinite(d) && d == std::trunc(d) && d >= lo && d < hi;
        if (std::isnan(d)) v = 0;
        else if (d <= lo) v = std::numeric_limits<T>::min();
        else if (d >= hi) v = std::numeric_limits<T>::max();
        else v = (T)d;
    } else {
        exact = n->i >= (SInt64)std::numeric_limits<T>::min() && n->i <= (SInt64)std::numeric_limits<T>::max();
        v = (T)n->i;
    }
    std::memcpy(out, &v, sizeof v);
    return exact;
}

} // namespace

extern "C" {

CFTypeID CFNumberGetTypeID(void) { return qmcf::kNumberType; }

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType theType, const void* valuePtr)
{
    if (!valuePtr) return nullptr;
    SInt64 i = 0;
    double d = 0.0;
    bool is_float = false;
    switch (canonical(theType)) {
    case kCFNumberSInt8Type: { SInt8 v; std::memcpy(&v, valuePtr, sizeof v); i = v; break; }
    case kCFNumberSInt16Type: { SInt16 v; std::memcpy(&v, valuePtr, sizeof v); i = v; break; }
    case kCFNumberSInt32Type: { SInt32 v; std::memcpy(&v, valuePtr, sizeof v); i = v; break; }
    case kCFNumberSInt64Type: { std::memcpy(&i, valuePtr, sizeof i); break; }
    case kCFNumberFloat32Type: { Float32 v; std::memcpy(&v, valuePtr, sizeof v); d = v; is_float = true; break; }
    case kCFNumberFloat64Type: { std::memcpy(&d, valuePtr, sizeof d); is_float = true; break; }
    default: return nullptr;
    }
    __CFNumber* r = new __CFNumber;
    r->is_float = is_float;
    r->i = i;
    r->d = d;
    return r;
}

Boolean CFNumberIsFloatType(CFNumberRef number)
{
    const __CFNumber* n = num(number);
    return n && n->is_float;
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr)
{
    const __CFNumber* n = num(number);
    if (!n || !valuePtr) return false;
    switch (canonical(theType)) {
    case kCFNumberSInt8Type: return store_int<SInt8>(n, valuePtr);
    case kCFNumberSInt16Type: return store_int<SInt16>(n, valuePtr);
    case kCFNumberSInt32Type: return store_int<SInt32>(n, valuePtr);
    case kCFNumberSInt64Type: return store_int<SInt64>(n, valuePtr);
    case kCFNumberFloat32Type: {
        Float32 v = (Float32)n->as_double();
        std::memcpy(valuePtr, &v, sizeof v);
        return (double)v == n->as_double() || std::isnan(v);
    }
    case kCFNumberFloat64Type: {
        Float64 v = n->as_double();
        std::memcpy(valuePtr, &v, sizeof v);
        return n->is_float || (v < 9223372036854775808.0 && (SInt64)v == n->i);
    }
    default: return false;
    }
}

} // extern "C"
