#include <CoreFoundation/CFData.h>

#include <vector>

#include "cf_object.h"

struct __CFData : qmcf::Object {
    __CFData() : Object(qmcf::kDataType) {}

    bool equal(const Object& other) const override { return bytes == static_cast<const __CFData&>(other).bytes; }
    CFHashCode hash() const override { return qmcf::hash_bytes(bytes.data(), bytes.size()); }

    std::vector<UInt8> bytes;
};

namespace {
const __CFData* data(CFTypeRef d) { return qmcf::as<const __CFData>(d, qmcf::kDataType); }
} // namespace

extern "C" {

CFTypeID CFDataGetTypeID(void) { return qmcf::kDataType; }

CFDataRef CFDataCreate(CFAllocatorRef, const UInt8* bytes, CFIndex length)
{
    if (length < 0 || (!bytes && length > 0)) return nullptr;
    __CFData* d = new __CFData;
    if (length > 0) d->bytes.assign(bytes, bytes + length);
    return d;
}

CFIndex CFDataGetLength(CFDataRef theData)
{
    const __CFData* d = data(theData);
    return d ? (CFIndex)d->bytes.size() : 0;
}

const UInt8* CFDataGetBytePtr(CFDataRef theData)
{
    const __CFData* d = data(theData);
    return d ? d->bytes.data() : nullptr;
}

} // extern "C"
