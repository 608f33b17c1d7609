// The CoreFoundation stand-in: conversions that can fail, and ownership. The
// address sanitizer's leak check proves that balanced retains and releases
// free everything.
#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string utf8(CFStringRef s)
{
    char buf[256];
    return CFStringGetCString(s, buf, sizeof buf, kCFStringEncodingUTF8) ? buf : "<failed>";
}

TEST(CFStringTest, CreatesFromEachEncodingOrRefuses)
{
    struct Case {
        const char* bytes;
        CFStringEncoding enc;
        bool ok;
        const char* as_utf8;
        CFIndex length;
    } cases[] = {
        {"plain", kCFStringEncodingASCII, true, "plain", 5},
        {"caf\xC3\xA9", kCFStringEncodingUTF8, true, "caf\xC3\xA9", 4},
        {"caf\xE9", kCFStringEncodingISOLatin1, true, "caf\xC3\xA9", 4},
        {"caf\xE9", kCFStringEncodingASCII, false, "", 0},
        {"caf\xE9", kCFStringEncodingUTF8, false, "", 0},          // truncated sequence
        {"\xC0\xAF", kCFStringEncodingUTF8, false, "", 0},         // overlong
        {"\xED\xA0\x80", kCFStringEncodingUTF8, false, "", 0},     // surrogate
        {"\xF4\x90\x80\x80", kCFStringEncodingUTF8, false, "", 0}, // past U+10FFFF
        {"\xF0\x9F\x8E\xB5!", kCFStringEncodingUTF8, true, "\xF0\x9F\x8E\xB5!", 3},
        {"\xEF\xBB\xBFx", kCFStringEncodingUTF8, true, "x", 1},   // byte-order mark dropped
        {"x", 0x0C01 /* not supported */, false, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        CFStringRef s = CFStringCreateWithCString(kCFAllocatorDefault, c.bytes, c.enc);
        ASSERT_EQ(c.ok, s != nullptr);
        if (!s) continue;
        EXPECT_EQ(c.as_utf8, utf8(s));
        EXPECT_EQ(c.length, CFStringGetLength(s));
        EXPECT_EQ(CFStringGetTypeID(), CFGetTypeID(s));
        CFRelease(s);
    }
    EXPECT_EQ(nullptr, CFStringCreateWithCString(kCFAllocatorDefault, nullptr, kCFStringEncodingUTF8));
    EXPECT_EQ(nullptr, CFStringCreateWithBytes(kCFAllocatorDefault, nullptr, 3, kCFStringEncodingUTF8, false));
}

TEST(CFStringTest, GetCStringFailsCleanlyWhenItCannot)
{
    CFStringRef s = CFStringCreateWithCString(kCFAllocatorDefault, "d\xC3\xA9j\xC3\xA0", kCFStringEncodingUTF8);
    char buf[16];
    std::memset(buf, 'X', sizeof buf);
    EXPECT_FALSE(CFStringGetCString(s, buf, 6, kCFStringEncodingUTF8));  // 6 bytes need 7
    EXPECT_EQ(0, buf[0]);
    EXPECT_TRUE(CFStringGetCString(s, buf, 7, kCFStringEncodingUTF8));
    EXPECT_FALSE(CFStringGetCString(s, buf, sizeof buf, kCFStringEncodingASCII));
    EXPECT_TRUE(CFStringGetCString(s, buf, sizeof buf, kCFStringEncodingISOLatin1));
    EXPECT_STREQ("d\xE9j\xE0", buf);
    EXPECT_EQ(nullptr, CFStringGetCStringPtr(s, kCFStringEncodingASCII));
    EXPECT_STREQ("d\xC3\xA9j\xC3\xA0", CFStringGetCStringPtr(s, kCFStringEncodingUTF8));
    EXPECT_FALSE(CFStringGetCString(nullptr, buf, sizeof buf, kCFStringEncodingUTF8));
    EXPECT_FALSE(CFStringGetCString(s, nullptr, 10, kCFStringEncodingUTF8));
    CFRelease(s);
}

TEST(CFStringTest, ConstantStringsAreSharedImmortalAndEqualToCreatedOnes)
{
    CFStringRef a = CFSTR("QMSessionXML");
    EXPECT_EQ(a, CFSTR("QMSessionXML"));
    CFIndex refs = CFGetRetainCount(a);
    CFRelease(a);
    CFRelease(a);
    EXPECT_EQ(refs, CFGetRetainCount(a));

    CFStringRef b = CFStringCreateWithCString(kCFAllocatorDefault, "QMSessionXML", kCFStringEncodingUTF8);
    EXPECT_TRUE(CFEqual(a, b));
    EXPECT_EQ(CFHash(a), CFHash(b));
    EXPECT_FALSE(CFEqual(a, CFSTR("QMAppPath")));
    CFRelease(b);
}

TEST(CFDataTest, CopiesBytesAndRefusesBadLengths)
{
    const UInt8 bytes[] = {1, 2, 3, 4, 5};
    CFDataRef d = CFDataCreate(kCFAllocatorDefault, bytes, 5);
    ASSERT_NE(nullptr, d);
    EXPECT_EQ(5, CFDataGetLength(d));
    EXPECT_EQ(0, std::memcmp(bytes, CFDataGetBytePtr(d), 5));
    CFRelease(d);

    EXPECT_EQ(nullptr, CFDataCreate(kCFAllocatorDefault, nullptr, 2));
    EXPECT_EQ(nullptr, CFDataCreate(kCFAllocatorDefault, bytes, -1));
    CFDataRef empty = CFDataCreate(kCFAllocatorDefault, nullptr, 0);
    EXPECT_EQ(0, CFDataGetLength(empty));
    CFRelease(empty);
}

TEST(CFNumberTest, ConvertsAndReportsLoss)
{
    SInt32 i32 = 70000;
    CFNumberRef n = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &i32);
    SInt16 i16 = 0;
    EXPECT_FALSE(CFNumberGetValue(n, kCFNumberSInt16Type, &i16));
    Float64 f64 = 0;
    EXPECT_TRUE(CFNumberGetValue(n, kCFNumberFloat64Type, &f64));
    EXPECT_EQ(70000.0, f64);
    EXPECT_FALSE(CFNumberIsFloatType(n));

    Float64 half = 2.5;
    CFNumberRef f = CFNumberCreate(kCFAllocatorDefault, kCFNumberDoubleType, &half);
    EXPECT_TRUE(CFNumberIsFloatType(f));
    EXPECT_FALSE(CFNumberGetValue(f, kCFNumberIntType, &i32));
    EXPECT_EQ(2, i32);
    Float64 huge = 1e30;
    CFNumberRef h = CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat64Type, &huge);
    SInt64 i64 = 0;
    EXPECT_FALSE(CFNumberGetValue(h, kCFNumberSInt64Type, &i64));
    EXPECT_EQ(INT64_MAX, i64);
    SInt64 big = INT64_MAX;
    CFNumberRef b = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &big);
    EXPECT_FALSE(CFNumberGetValue(b, kCFNumberFloat64Type, &f64));  // not exact

    Float32 three = 3.0f;
    SInt32 i3 = 3;
    CFNumberRef a = CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat32Type, &three);
    CFNumberRef c = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &i3);
    EXPECT_TRUE(CFEqual(a, c));
    EXPECT_EQ(CFHash(a), CFHash(c));

    EXPECT_EQ(nullptr, CFNumberCreate(kCFAllocatorDefault, (CFNumberType)99, &i3));
    EXPECT_EQ(nullptr, CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, nullptr));
    for (CFNumberRef x : {n, f, h, b, a, c}) CFRelease(x);
}

TEST(CFCollectionsTest, ArraysAndDictionariesOwnWhatTheyHold)
{
    CFStringRef v = CFStringCreateWithCString(kCFAllocatorDefault, "value", kCFStringEncodingUTF8);
    CFMutableArrayRef arr = CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
    CFArrayAppendValue(arr, v);
    CFArrayAppendValue(arr, v);
    EXPECT_EQ(3, CFGetRetainCount(v));
    EXPECT_EQ(2, CFArrayGetCount(arr));
    EXPECT_EQ(v, CFArrayGetValueAtIndex(arr, 1));
    EXPECT_EQ(nullptr, CFArrayGetValueAtIndex(arr, 2));
    EXPECT_EQ(nullptr, CFArrayGetValueAtIndex(arr, -1));

    CFMutableDictionaryRef d = CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                                         &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(d, CFSTR("list"), arr);
    CFDictionarySetValue(d, CFSTR("text"), v);
    EXPECT_EQ(4, CFGetRetainCount(v));
    CFDictionarySetValue(d, CFSTR("text"), v);  // replacing a value by itself keeps it alive
    EXPECT_EQ(4, CFGetRetainCount(v));
    EXPECT_EQ(v, CFDictionaryGetValue(d, CFSTR("text")));

    // Looked up by an equal key that is a different object.
    CFStringRef key = CFStringCreateWithCString(kCFAllocatorDefault, "list", kCFStringEncodingUTF8);
    EXPECT_EQ(arr, CFDictionaryGetValue(d, key));
    const void* keys[2];
    const void* values[2];
    CFDictionaryGetKeysAndValues(d, keys, values);
    EXPECT_TRUE(CFEqual(keys[0], key));
    EXPECT_EQ(arr, values[0]);
    CFDictionaryRemoveValue(d, key);
    EXPECT_EQ(nullptr, CFDictionaryGetValue(d, CFSTR("list")));
    EXPECT_EQ(nullptr, CFDictionaryGetValue(d, CFSTR("missing")));
    EXPECT_EQ(1, CFDictionaryGetCount(d));

    CFRelease(key);
    CFRelease(arr);
    CFRelease(d);
    EXPECT_EQ(1, CFGetRetainCount(v));

    // Null callbacks hold plain pointers.
    static int a = 1, b = 2;
    CFMutableDictionaryRef plain = CFDictionaryCreateMutable(kCFAllocatorDefault, 0, nullptr, nullptr);
    CFDictionarySetValue(plain, &a, &b);
    EXPECT_EQ(1, CFDictionaryGetCount(plain));
    EXPECT_EQ(&b, CFDictionaryGetValue(plain, &a));
    CFRelease(plain);
    CFRelease(v);

    // Null handles and handles of the wrong type are harmless.
    CFRelease(nullptr);
    EXPECT_EQ(0u, CFGetTypeID(nullptr));
    EXPECT_EQ(0, CFDictionaryGetCount((CFDictionaryRef)CFSTR("not a dictionary")));
    EXPECT_EQ(nullptr, CFDictionaryGetValue(nullptr, CFSTR("x")));
}

TEST(CFURLTest, FilePathsRoundTrip)
{
    const char* p = "/Applications/Quillomat.app/";
    CFURLRef u = CFURLCreateFromFileSystemRepresentation(kCFAllocatorDefault, (const UInt8*)p, std::strlen(p), true);
    CFStringRef back = CFURLCopyFileSystemPath(u, kCFURLPOSIXPathStyle);
    EXPECT_EQ("/Applications/Quillomat.app", utf8(back));
    UInt8 small[10];
    EXPECT_FALSE(CFURLGetFileSystemRepresentation(u, true, small, sizeof small));
    UInt8 buf[64];
    EXPECT_TRUE(CFURLGetFileSystemRepresentation(u, true, buf, sizeof buf));
    EXPECT_STREQ("/Applications/Quillomat.app", (const char*)buf);

    const UInt8 bad[] = {'/', 0xFF};
    EXPECT_EQ(nullptr, CFURLCreateFromFileSystemRepresentation(kCFAllocatorDefault, bad, 2, false));
    EXPECT_EQ(nullptr, CFURLCreateFromFileSystemRepresentation(kCFAllocatorDefault, (const UInt8*)"\0/x", 3, false));
    CFURLRef root = CFURLCreateFromFileSystemRepresentation(kCFAllocatorDefault, (const UInt8*)"/", 1, true);
    CFStringRef rp = CFURLCopyFileSystemPath(root, kCFURLPOSIXPathStyle);
    EXPECT_EQ("/", utf8(rp));
    for (CFTypeRef x : {(CFTypeRef)u, (CFTypeRef)back, (CFTypeRef)root, (CFTypeRef)rp}) CFRelease(x);
}

} // namespace
