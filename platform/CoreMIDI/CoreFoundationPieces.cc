// >>> TEMPORARY: see CoreFoundationPieces.h. Compiles to nothing once the
// CoreFoundation stand-in is in the tree.
#include <CoreMIDI/CoreFoundationPieces.h>

#if !__has_include(<CoreFoundation/CoreFoundation.h>)
#include <cstring>
#include <map>
#include <mutex>
#include <string>

struct __CFString {
    std::string text;
    bool constant;
};

extern "C" {

CFStringEncoding CFStringGetSystemEncoding(void) { return kCFStringEncodingUTF8; }

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* cStr, CFStringEncoding) {
    return cStr ? new __CFString{cStr, false} : nullptr;
}

Boolean CFStringGetCString(CFStringRef s, char* buffer, CFIndex bufferSize, CFStringEncoding) {
    if (!s || bufferSize < 1 || CFIndex(s->text.size()) >= bufferSize) {
        if (bufferSize > 0) {
            buffer[0] = '\0';
        }
        return false;
    }
    std::memcpy(buffer, s->text.c_str(), s->text.size() + 1);
    return true;
}

CFStringRef __CFStringMakeConstantString(const char* cStr) {
    static std::mutex lock;
    static std::map<std::string, __CFString*>* all = new std::map<std::string, __CFString*>;
    std::lock_guard<std::mutex> hold(lock);
    __CFString*& s = (*all)[cStr];
    if (!s) {
        s = new __CFString{cStr, true};
    }
    return s;
}

void CFRelease(CFTypeRef cf) {
    const __CFString* s = static_cast<const __CFString*>(cf);
    if (s && !s->constant) {
        delete s;
    }
}

Boolean CFEqual(CFTypeRef a, CFTypeRef b) {
    if (!a || !b) {
        return a == b;
    }
    return static_cast<const __CFString*>(a)->text == static_cast<const __CFString*>(b)->text;
}
}
#endif
