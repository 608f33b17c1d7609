#include <CoreFoundation/CFDictionary.h>

#include <vector>

#include "cf_object.h"

namespace {
const void* retain_cf(CFAllocatorRef, const void* v) { return CFRetain(v); }
void release_cf(CFAllocatorRef, const void* v) { CFRelease(v); }
Boolean equal_cf(const void* a, const void* b) { return CFEqual(a, b); }
CFHashCode hash_cf(const void* v) { return CFHash(v); }
} // namespace

extern "C" const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {0, retain_cf, release_cf, nullptr,
                                                                          equal_cf, hash_cf};
extern "C" const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {0, retain_cf, release_cf, nullptr,
                                                                              equal_cf};

// Entries in insertion order, found by hash and then by the key's equal; the
// dictionaries kept here are small.
struct __CFDictionary : qmcf::Object {
    struct Entry {
        CFHashCode hash;
        const void* key;
        const void* value;
    };

    __CFDictionary(const CFDictionaryKeyCallBacks* kcb, const CFDictionaryValueCallBacks* vcb)
        : Object(qmcf::kDictionaryType)
    {
        if (kcb) keys = *kcb;
        if (vcb) values = *vcb;
    }
    ~__CFDictionary() override
    {
        for (Entry& e : entries) release(e);
    }

    bool equal(const Object& other) const override
    {
        const __CFDictionary& o = static_cast<const __CFDictionary&>(other);
        if (entries.size() != o.entries.size()) return false;
        for (const Entry& e : entries) {
            const Entry* m = o.find(e.key);
            if (!m) return false;
            bool same = values.equal ? values.equal(e.value, m->value) : e.value == m->value;
            if (!same) return false;
        }
        return true;
    }
    CFHashCode hash() const override { return entries.size(); }

    CFHashCode key_hash(const void* key) const
    {
        return keys.hash ? keys.hash(key) : (CFHashCode)(uintptr_t)key;
    }
    const Entry* find(const void* key) const
    {
        CFHashCode h = key_hash(key);
        for (const Entry& e : entries) {
            if (e.hash != h) continue;
            if (keys.equal ? keys.equal(e.key, key) : e.key == key) return &e;
        }
        return nullptr;
    }
    Entry* find(const void* key) { return const_cast<Entry*>(static_cast<const __CFDictionary*>(this)->find(key)); }

    void release(Entry& e)
    {
        if (keys.release) keys.release(kCFAllocatorDefault, e.key);
        if (values.release) values.release(kCFAllocatorDefault, e.value);
    }
    void set(const void* key, const void* value)
    {
        Entry* e = find(key);
        const void* v = values.retain ? values.retain(kCFAllocatorDefault, value) : value;
        if (e) {
            // Retain the new value before releasing the old one: they may be the same.
            if (values.release) values.release(kCFAllocatorDefault, e->value);
            e->value = v;
            return;
        }
        const void* k = keys.retain ? keys.retain(kCFAllocatorDefault, key) : key;
        entries.push_back(Entry{key_hash(key), k, v});
    }

    CFDictionaryKeyCallBacks keys = {0, nullptr, nullptr, nullptr, nullptr, nullptr};
    CFDictionaryValueCallBacks values = {0, nullptr, nullptr, nullptr, nullptr};
    std::vector<Entry> entries;
};

namespace {
__CFDictionary* dict(CFTypeRef d) { return qmcf::as<__CFDictionary>(d, qmcf::kDictionaryType); }
} // namespace

extern "C" {

CFTypeID CFDictionaryGetTypeID(void) { return qmcf::kDictionaryType; }

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex capacity,
                                                 const CFDictionaryKeyCallBacks* keyCallBacks,
                                                 const CFDictionaryValueCallBacks* valueCallBacks)
{
    if (capacity < 0) return nullptr;
    return new __CFDictionary(keyCallBacks, valueCallBacks);
}

CFIndex CFDictionaryGetCount(CFDictionaryRef theDict)
{
    const __CFDictionary* d = dict(theDict);
    return d ? (CFIndex)d->entries.size() : 0;
}

const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key)
{
    const __CFDictionary* d = dict(theDict);
    const __CFDictionary::Entry* e = d ? d->find(key) : nullptr;
    return e ? e->value : nullptr;
}

void CFDictionaryGetKeysAndValues(CFDictionaryRef theDict, const void** keys, const void** values)
{
    const __CFDictionary* d = dict(theDict);
    if (!d) return;
    for (size_t i = 0; i < d->entries.size(); ++i) {
        if (keys) keys[i] = d->entries[i].key;
        if (values) values[i] = d->entries[i].value;
    }
}

void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void* key, const void* value)
{
    if (__CFDictionary* d = dict(theDict)) d->set(key, value);
}

void CFDictionaryRemoveValue(CFMutableDictionaryRef theDict, const void* key)
{
    __CFDictionary* d = dict(theDict);
    if (!d) return;
    __CFDictionary::Entry* e = d->find(key);
    if (!e) return;
    __CFDictionary::Entry gone = *e;
    d->entries.erase(d->entries.begin() + (e - d->entries.data()));
    d->release(gone);
}

} // extern "C"
