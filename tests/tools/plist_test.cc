// State files: every value kind survives a write and a read, and broken files
// are refused with a reason instead of half-read.
#include "plist.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>

using namespace qmhost;

namespace {

std::string temp_path(const char* name) { return testing::TempDir() + name + std::to_string(getpid()); }

CFTypeRef get(CFDictionaryRef d, const char* key) { return CFDictionaryGetValue(d, __CFStringMakeConstantString(key)); }

TEST(PlistTest, EveryValueKindRoundTrips)
{
    CFMutableDictionaryRef root = CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                                            &kCFTypeDictionaryValueCallBacks);
    UInt8 bytes[256];
    for (int i = 0; i < 256; ++i) bytes[i] = (UInt8)(255 - i);
    SInt64 big = -9007199254740993LL;
    double third = 1.0 / 3.0;
    CFTypeRef values[] = {
        CFDataCreate(kCFAllocatorDefault, bytes, 256),
        CFDataCreate(kCFAllocatorDefault, bytes, 1),
        CFDataCreate(kCFAllocatorDefault, nullptr, 0),
        CFStringCreateWithCString(kCFAllocatorDefault, "<session> & \"caf\xC3\xA9\"\n", kCFStringEncodingUTF8),
        CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &big),
        CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat64Type, &third),
        CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks),
    };
    const char* keys[] = {"data", "one", "empty", "text", "int", "real", "list"};
    CFArrayAppendValue((CFMutableArrayRef)values[6], values[3]);
    CFArrayAppendValue((CFMutableArrayRef)values[6], values[5]);
    for (int i = 0; i < 7; ++i) CFDictionarySetValue(root, __CFStringMakeConstantString(keys[i]), values[i]);

    std::string path = temp_path("roundtrip.plist"), error;
    ASSERT_TRUE(write_plist_file(root, path, error)) << error;
    CFPropertyListRef back = read_plist_file(path, error);
    ASSERT_NE(nullptr, back) << error;
    EXPECT_TRUE(CFEqual(root, back));
    EXPECT_TRUE(CFNumberIsFloatType((CFNumberRef)get((CFDictionaryRef)back, "real")));
    EXPECT_FALSE(CFNumberIsFloatType((CFNumberRef)get((CFDictionaryRef)back, "int")));

    // A failed write leaves the existing file as it was.
    CFMutableDictionaryRef bad = CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                                           &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(bad, values[4], values[3]);  // a key that is not a string
    EXPECT_FALSE(write_plist_file(bad, path, error));
    EXPECT_NE(std::string::npos, error.find("not a string"));
    CFPropertyListRef again = read_plist_file(path, error);
    EXPECT_TRUE(CFEqual(root, again));
    EXPECT_FALSE(write_plist_file(root, "/nonexistent-dir/x.plist", error));

    for (CFTypeRef v : values) CFRelease(v);
    for (CFTypeRef v : {(CFTypeRef)root, back, again, (CFTypeRef)bad}) CFRelease(v);
    std::remove(path.c_str());
}

TEST(PlistTest, BrokenFilesAreRefusedWithAReason)
{
    struct Case {
        const char* text;
        const char* reason;
    } cases[] = {
        {"not xml at all", "line 1"},
        {"<plist><dict><key>a</key></dict></plist>", "without a value"},
        {"<plist><dict><string>a</string><integer>1</integer></dict></plist>", "where a <key> belongs"},
        {"<plist><integer>12x</integer></plist>", "not a whole number"},
        {"<plist><integer>99999999999999999999</integer></plist>", "not a whole number"},
        {"<plist><real>one</real></plist>", "not a number"},
        {"<plist><data>AB$C</data></plist>", "base64"},
        {"<plist><data>QUJD=QUJD</data></plist>", "base64"},
        {"<plist><true/></plist>", "<true>"},
        {"<plist><dict/><dict/></plist>", "exactly one value"},
        {"<plist><array>stray<string>x</string></array></plist>", "text where"},
        {"<plist></plist>", "exactly one value"},
        {"<plist><integer>1\n2</integer></plist>", "not a whole number"},
        {"<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist><string>\xff\xfe</string></plist>", "UTF-8"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string error;
        CFPropertyListRef p = read_plist_memory(c.text, std::strlen(c.text), error);
        EXPECT_EQ(nullptr, p);
        EXPECT_NE(std::string::npos, error.find(c.reason)) << error;
        EXPECT_EQ(std::string::npos, error.find('\n'));
    }
    std::string deep;
    for (int i = 0; i < 100; ++i) deep += "<array>";
    for (int i = 0; i < 100; ++i) deep += "</array>";
    std::string error;
    EXPECT_EQ(nullptr, read_plist_memory(deep.data(), deep.size(), error));
    EXPECT_NE(std::string::npos, error.find("deeply"));
    EXPECT_EQ(nullptr, read_plist_file("/nonexistent.plist", error));

    // Padding-free base64 and whitespace inside it are read, as preset files have them.
    const char* ok = "<plist><dict><key>d</key><data>\n\tQUJD\n\tRA\n</data></dict></plist>";
    CFPropertyListRef p = read_plist_memory(ok, std::strlen(ok), error);
    ASSERT_NE(nullptr, p) << error;
    CFDataRef d = (CFDataRef)get((CFDictionaryRef)p, "d");
    EXPECT_EQ(std::string("ABCD"), std::string((const char*)CFDataGetBytePtr(d), CFDataGetLength(d)));
    CFRelease(p);
}

} // namespace
