#include "cf_object.h"

using qmcf::Object;

namespace qmcf {

CFHashCode hash_bytes(const void* p, size_t n)
{
    // FNV-1a
    const unsigned char* b = static_cast<const unsigned char*>(p);
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < n; ++i) {
        h ^= b[i];
        h *= 1099511628211ull;
    }
    return (CFHashCode)h;
}

} // namespace qmcf

extern "C" {

CFTypeRef CFRetain(CFTypeRef cf)
{
    if (cf && !qmcf::object(cf)->immortal)
        const_cast<Object*>(qmcf::object(cf))->refs.fetch_add(1, std::memory_order_relaxed);
    return cf;
}

void CFRelease(CFTypeRef cf)
{
    if (!cf) return;
    Object* o = const_cast<Object*>(qmcf::object(cf));
    if (o->immortal) return;
    if (o->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete o;
}

CFIndex CFGetRetainCount(CFTypeRef cf)
{
    if (!cf) return 0;
    return qmcf::object(cf)->refs.load(std::memory_order_relaxed);
}

CFTypeID CFGetTypeID(CFTypeRef cf) { return cf ? qmcf::object(cf)->type : 0; }

Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2)
{
    if (cf1 == cf2) return true;
    if (!cf1 || !cf2) return false;
    const Object* a = qmcf::object(cf1);
    const Object* b = qmcf::object(cf2);
    return a->type == b->type && a->equal(*b);
}

CFHashCode CFHash(CFTypeRef cf) { return cf ? qmcf::object(cf)->hash() : 0; }

} // extern "C"
