#pragma once
// The stand-in's own way into a component instance: the host-side calls and
// tests pack a call here and hand it to the instance's entry point. The
// platform has no such call, so plug-in and view sources never use it.
#include <CoreServices/Components.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace CoreServicesStandIn {

const int kMaxCallArguments = 8;

// A call record with room for the instance and its arguments: params
// reaches into `more`.
struct CallRecord {
    ComponentParameters call;
    long more[kMaxCallArguments];
};
static_assert(offsetof(CallRecord, more) == offsetof(ComponentParameters, params) + sizeof(long),
              "the arguments of a call record lie end to end");

// Hands one call to the instance's entry point; badComponentInstance for a
// null or closed instance.
ComponentResult callComponent(ComponentInstance ci, ComponentParameters* cp);

template <class T>
long widen(T v)
{
    if constexpr (std::is_pointer<T>::value) {
        return (long)(intptr_t)v;
    } else if constexpr (std::is_floating_point<T>::value) {
        static_assert(sizeof(T) == sizeof(UInt32), "a Float32 travels by its bit pattern");
        UInt32 bits;
        std::memcpy(&bits, &v, sizeof bits);
        return (long)bits;
    } else {
        return (long)v;
    }
}

// Packs a call as the Component Manager does for this pointer width (the
// instance and the arguments in their slots, paramSize the sum of their
// declared sizes) and hands it to the instance.
template <class... Args>
ComponentResult call(ComponentInstance ci, SInt16 what, Args... args)
{
    constexpr int n = sizeof...(Args);
    static_assert(n <= kMaxCallArguments, "more arguments than a call record holds");
    constexpr std::size_t size = (std::size_t(0) + ... + sizeof(Args));
    static_assert(size <= 0xff, "the arguments' sizes must fit paramSize");
    CallRecord r = {};
    r.call.what = what;
    r.call.paramSize = (UInt8)size;
    ComponentArgument(&r.call, -1, n) = widen(ci);
    [[maybe_unused]] int i = 0;
    ((ComponentArgument(&r.call, i++, n) = widen(args)), ...);
    return callComponent(ci, &r.call);
}

} // namespace CoreServicesStandIn
