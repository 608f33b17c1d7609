#pragma once
// One host-side call, packed the way the plug-in's dispatchers unpack it:
// each argument widened to long, a Float32 by its bit pattern.
#include <CoreServices/Components.h>

#include <cstdint>
#include <cstring>

namespace qmau {

class Call {
public:
    explicit Call(SInt16 what) { p.what = what; }
    Call& arg(long v)
    {
        p.params[n++] = v;
        p.paramSize = (UInt8)(n * sizeof(long));
        return *this;
    }
    Call& ptr(const void* v) { return arg((long)(intptr_t)v); }
    Call& f32(Float32 v)
    {
        UInt32 bits;
        std::memcpy(&bits, &v, sizeof bits);
        return arg((long)bits);
    }
    ComponentResult send(ComponentInstance ci) { return CallComponent(ci, &p); }

private:
    ComponentParameters p = {};
    int n = 0;
};

} // namespace qmau
