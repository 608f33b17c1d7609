#include <CoreFoundation/CFString.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "cf_object.h"
#include "cf_utf8.h"

struct __CFString : qmcf::Object {
    explicit __CFString(std::string s) : Object(qmcf::kStringType), utf8(std::move(s)) {}

    bool equal(const Object& other) const override
    {
        return utf8 == static_cast<const __CFString&>(other).utf8;
    }
    CFHashCode hash() const override { return qmcf::hash_bytes(utf8.data(), utf8.size()); }

    std::string utf8;
    CFIndex utf16_length = 0;
};

namespace {

using qmcf::decode_utf8;

void append_utf8(std::string& out, long cp)
{
    if (cp < 0x80) {
        out += (char)cp;
    } else if (cp < 0x800) {
        out += (char)(0xC0 | (cp >> 6));
        out += (char)(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += (char)(0xE0 | (cp >> 12));
        out += (char)(0x80 | ((cp >> 6) & 0x3F));
        out += (char)(0x80 | (cp & 0x3F));
    } else {
        out += (char)(0xF0 | (cp >> 18));
        out += (char)(0x80 | ((cp >> 12) & 0x3F));
        out += (char)(0x80 | ((cp >> 6) & 0x3F));
        out += (char)(0x80 | (cp & 0x3F));
    }
}

bool supported(CFStringEncoding e)
{
    return e == kCFStringEncodingUTF8 || e == kCFStringEncodingASCII || e == kCFStringEncodingISOLatin1;
}

// Builds the string from bytes in the encoding; null when they are not valid.
__CFString* make(const unsigned char* bytes, size_t n, CFStringEncoding enc)
{
    if (!supported(enc)) return nullptr;
    std::string utf8;
    CFIndex units = 0;
    if (enc == kCFStringEncodingUTF8) {
        // A byte-order mark is not part of the text.
        if (n >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
            bytes += 3;
            n -= 3;
        }
        for (size_t i = 0; i < n;) {
            long cp = decode_utf8(bytes, n, i);
            if (cp < 0) return nullptr;
            units += cp >= 0x10000 ? 2 : 1;
        }
        utf8.assign((const char*)bytes, n);
    } else {
        utf8.reserve(n);
        for (size_t i = 0; i < n; ++i) {
            if (enc == kCFStringEncodingASCII && bytes[i] >= 0x80) return nullptr;
            append_utf8(utf8, bytes[i]);
        }
        units = (CFIndex)n;
    }
    __CFString* s = new __CFString(std::move(utf8));
    s->utf16_length = units;
    return s;
}

const __CFString* str(CFStringRef s) { return qmcf::as<const __CFString>(s, qmcf::kStringType); }

// The string in the encoding, without a terminator; false when a character
// has no form in it.
bool encode(const __CFString* s, CFStringEncoding enc, std::string& out)
{
    if (enc == kCFStringEncodingUTF8) {
        out = s->utf8;
        return true;
    }
    if (!supported(enc)) return false;
    const unsigned char* b = (const unsigned char*)s->utf8.data();
    size_t n = s->utf8.size();
    long limit = enc == kCFStringEncodingASCII ? 0x7F : 0xFF;
    out.clear();
    for (size_t i = 0; i < n;) {
        long cp = decode_utf8(b, n, i);
        if (cp < 0 || cp > limit) return false;
        out += (char)(unsigned char)cp;
    }
    return true;
}

} // namespace

extern "C" {

CFTypeID CFStringGetTypeID(void) { return qmcf::kStringType; }

CFStringEncoding CFStringGetSystemEncoding(void) { return kCFStringEncodingUTF8; }

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* cStr, CFStringEncoding encoding)
{
    if (!cStr) return nullptr;
    return make((const unsigned char*)cStr, std::strlen(cStr), encoding);
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes, CFIndex numBytes, CFStringEncoding encoding,
                                    Boolean)
{
    if (numBytes < 0 || (!bytes && numBytes > 0)) return nullptr;
    static const UInt8 none = 0;
    return make(bytes ? bytes : &none, (size_t)numBytes, encoding);
}

CFIndex CFStringGetLength(CFStringRef theString)
{
    const __CFString* s = str(theString);
    return s ? s->utf16_length : 0;
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding)
{
    if (length < 0) return kCFNotFound;
    return encoding == kCFStringEncodingUTF8 ? length * 3 : length;
}

Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize, CFStringEncoding encoding)
{
    if (!buffer || bufferSize <= 0) return false;
    buffer[0] = 0;
    const __CFString* s = str(theString);
    std::string out;
    if (!s || !encode(s, encoding, out) || (CFIndex)out.size() >= bufferSize) return false;
    std::memcpy(buffer, out.c_str(), out.size() + 1);
    return true;
}

const char* CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding)
{
    const __CFString* s = str(theString);
    if (!s) return nullptr;
    if (encoding == kCFStringEncodingUTF8) return s->utf8.c_str();
    // As many bytes as UTF-16 units: every character is ASCII.
    bool ascii = (CFIndex)s->utf8.size() == s->utf16_length;
    if (ascii && (encoding == kCFStringEncodingASCII || encoding == kCFStringEncodingISOLatin1))
        return s->utf8.c_str();
    return nullptr;
}

CFStringRef __CFStringMakeConstantString(const char* cStr)
{
    // Kept in a table that is never destroyed, so the strings stay valid
    // during static destruction and are not reported as leaks.
    static std::mutex* lock = new std::mutex;
    static auto* table = new std::unordered_map<std::string, __CFString*>;
#if defined(__SANITIZE_ADDRESS__)
    // Nor when a host unloads the library that holds them, which loses the
    // pointers: the leak check is told that both are kept, with all they hold.
    [[maybe_unused]] static const bool told = (__lsan_ignore_object(lock), __lsan_ignore_object(table), true);
#endif
    if (!cStr) cStr = "";
    std::lock_guard<std::mutex> guard(*lock);
    auto it = table->find(cStr);
    if (it != table->end()) return it->second;
    __CFString* s = make((const unsigned char*)cStr, std::strlen(cStr), kCFStringEncodingUTF8);
    if (!s) s = make((const unsigned char*)cStr, std::strlen(cStr), kCFStringEncodingISOLatin1);
    s->immortal = true;
    table->emplace(cStr, s);
    return s;
}

} // extern "C"
