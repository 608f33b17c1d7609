#include <CoreFoundation/CFString.h>
#include <CoreFoundation/CFURL.h>

#include <cstring>
#include <string>

#include "cf_object.h"

struct __CFURL : qmcf::Object {
    explicit __CFURL(std::string p) : Object(qmcf::kURLType), path(std::move(p)) {}

    bool equal(const Object& other) const override { return path == static_cast<const __CFURL&>(other).path; }
    CFHashCode hash() const override { return qmcf::hash_bytes(path.data(), path.size()); }

    std::string path;  // UTF-8, without a trailing slash unless it is "/"
};

namespace {

const __CFURL* url(CFTypeRef u) { return qmcf::as<const __CFURL>(u, qmcf::kURLType); }

} // namespace

extern "C" {

CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef, const UInt8* buffer, CFIndex bufLen, Boolean)
{
    if (!buffer || bufLen <= 0) return nullptr;
    // The path ends at its length or at an embedded NUL, whichever comes first.
    const void* nul = std::memchr(buffer, 0, (size_t)bufLen);
    size_t n = nul ? (size_t)((const UInt8*)nul - buffer) : (size_t)bufLen;
    if (n == 0) return nullptr;
    CFStringRef check = CFStringCreateWithBytes(kCFAllocatorDefault, buffer, (CFIndex)n, kCFStringEncodingUTF8, false);
    if (!check) return nullptr;
    CFRelease(check);
    std::string path((const char*)buffer, n);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return new __CFURL(std::move(path));
}

CFStringRef CFURLCopyFileSystemPath(CFURLRef anURL, CFURLPathStyle pathStyle)
{
    const __CFURL* u = url(anURL);
    if (!u || pathStyle != kCFURLPOSIXPathStyle) return nullptr;
    return CFStringCreateWithCString(kCFAllocatorDefault, u->path.c_str(), kCFStringEncodingUTF8);
}

Boolean CFURLGetFileSystemRepresentation(CFURLRef anURL, Boolean, UInt8* buffer, CFIndex maxBufLen)
{
    const __CFURL* u = url(anURL);
    if (!u || !buffer || maxBufLen <= (CFIndex)u->path.size()) return false;
    std::memcpy(buffer, u->path.c_str(), u->path.size() + 1);
    return true;
}

} // extern "C"
