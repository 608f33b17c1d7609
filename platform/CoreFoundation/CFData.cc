#include <CoreFoundation/CFData.h>

#include <cstring>
#include <vector>

#include "cf_object.h"

struct __CFData : qmcf::Object {
    __CFData() : Object(qmcf::kDataType) {}

    bool equal(const Object& other) const override { return bytes == static_cast<const __CFData&>(other).bytes; }
    CFHashCode hash() const override { return qmcf::hash_bytes(bytes.data(), bytes.size()); }

    std::vector<UInt8> bytes;
    CFIndex capacity = 0;  // 0: unlimited
    bool is_mutable = false;
};

namespace {
__CFData* data(CFTypeRef d) { return qmcf::as<__CFData>(d, qmcf::kDataType); }
__CFData* mutable_data(CFTypeRef d)
{
    __CFData* m = data(d);
    return m && m->is_mutable ? m : nullptr;
}
// The length a mutable block may grow to.
CFIndex clamp_length(const __CFData* d, CFIndex length)
{
    return d->capacity > 0 && length > d->capacity ? d->capacity : length;
}
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

CFMutableDataRef CFDataCreateMutable(CFAllocatorRef, CFIndex capacity)
{
    if (capacity < 0) return nullptr;
    __CFData* d = new __CFData;
    d->capacity = capacity;
    d->is_mutable = true;
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

UInt8* CFDataGetMutableBytePtr(CFMutableDataRef theData)
{
    __CFData* d = mutable_data(theData);
    return d ? d->bytes.data() : nullptr;
}

void CFDataGetBytes(CFDataRef theData, CFRange range, UInt8* buffer)
{
    const __CFData* d = data(theData);
    if (!d || !buffer || range.location < 0 || range.length <= 0) return;
    CFIndex size = (CFIndex)d->bytes.size();
    if (range.location >= size) return;
    CFIndex n = range.length < size - range.location ? range.length : size - range.location;
    std::memcpy(buffer, d->bytes.data() + range.location, (size_t)n);
}

void CFDataAppendBytes(CFMutableDataRef theData, const UInt8* bytes, CFIndex length)
{
    __CFData* d = mutable_data(theData);
    if (!d || !bytes || length <= 0) return;
    CFIndex have = (CFIndex)d->bytes.size();
    CFIndex n = clamp_length(d, have + length) - have;
    if (n > 0) d->bytes.insert(d->bytes.end(), bytes, bytes + n);
}

void CFDataSetLength(CFMutableDataRef theData, CFIndex length)
{
    __CFData* d = mutable_data(theData);
    if (!d || length < 0) return;
    d->bytes.resize((size_t)clamp_length(d, length), 0);
}

} // extern "C"
