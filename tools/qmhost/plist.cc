#include "plist.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlwriter.h>

#include <kvo/file_guard.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>
#include <vector>

namespace qmhost {
namespace {

const int kMaxDepth = 64;

std::string utf8(CFStringRef s)
{
    const char* p = CFStringGetCStringPtr(s, kCFStringEncodingUTF8);
    return p ? p : std::string();
}

// ------------------------------------------------------------------ writing

struct Writer {
    xmlTextWriterPtr w;
    std::string error;

    bool ok(int rc)
    {
        if (rc < 0 && error.empty()) error = "cannot write the file";
        return rc >= 0;
    }
    bool text(const char* element, const std::string& content)
    {
        return ok(xmlTextWriterWriteElement(w, BAD_CAST element, BAD_CAST content.c_str()));
    }

    bool value(CFTypeRef v, int depth)
    {
        if (depth > kMaxDepth) {
            error = "the property list is nested too deeply";
            return false;
        }
        CFTypeID t = CFGetTypeID(v);
        if (t == CFStringGetTypeID()) return text("string", utf8(static_cast<CFStringRef>(v)));
        if (t == CFNumberGetTypeID()) {
            CFNumberRef n = static_cast<CFNumberRef>(v);
            char buf[64];
            std::to_chars_result r;
            if (CFNumberIsFloatType(n)) {
                double d = 0;
                CFNumberGetValue(n, kCFNumberFloat64Type, &d);
                r = std::to_chars(buf, buf + sizeof buf - 1, d);
            } else {
                SInt64 i = 0;
                CFNumberGetValue(n, kCFNumberSInt64Type, &i);
                r = std::to_chars(buf, buf + sizeof buf - 1, (long long)i);
            }
            *r.ptr = 0;
            return text(CFNumberIsFloatType(n) ? "real" : "integer", buf);
        }
        if (t == CFDataGetTypeID()) {
            CFDataRef d = static_cast<CFDataRef>(v);
            if (!ok(xmlTextWriterStartElement(w, BAD_CAST "data"))) return false;
            CFIndex n = CFDataGetLength(d);
            if (n > 0 && !ok(xmlTextWriterWriteBase64(w, (const char*)CFDataGetBytePtr(d), 0, (int)n))) return false;
            return ok(xmlTextWriterEndElement(w));
        }
        if (t == CFArrayGetTypeID()) {
            CFArrayRef a = static_cast<CFArrayRef>(v);
            if (!ok(xmlTextWriterStartElement(w, BAD_CAST "array"))) return false;
            for (CFIndex i = 0; i < CFArrayGetCount(a); ++i)
                if (!value(CFArrayGetValueAtIndex(a, i), depth + 1)) return false;
            return ok(xmlTextWriterEndElement(w));
        }
        if (t == CFDictionaryGetTypeID()) {
            CFDictionaryRef d = static_cast<CFDictionaryRef>(v);
            CFIndex n = CFDictionaryGetCount(d);
            std::vector<const void*> keys(n), vals(n);
            CFDictionaryGetKeysAndValues(d, keys.data(), vals.data());
            std::vector<std::pair<std::string, CFTypeRef>> entries;
            for (CFIndex i = 0; i < n; ++i) {
                if (CFGetTypeID(keys[i]) != CFStringGetTypeID()) {
                    error = "the property list has a dictionary key that is not a string";
                    return false;
                }
                entries.emplace_back(utf8(static_cast<CFStringRef>(keys[i])), vals[i]);
            }
            std::sort(entries.begin(), entries.end(),
                      [](const auto& a, const auto& b) { return a.first < b.first; });
            if (!ok(xmlTextWriterStartElement(w, BAD_CAST "dict"))) return false;
            for (auto& e : entries)
                if (!text("key", e.first) || !value(e.second, depth + 1)) return false;
            return ok(xmlTextWriterEndElement(w));
        }
        error = "the property list holds a value of a type that cannot be saved";
        return false;
    }
};

// ------------------------------------------------------------------ reading

struct CFDeleter {
    void operator()(const void* p) const
    {
        if (p) CFRelease(p);
    }
};
typedef std::unique_ptr<const void, CFDeleter> CFHolder;

bool base64_decode(const std::string& in, std::vector<UInt8>& out)
{
    static const signed char* table = [] {
        static signed char t[256];
        std::memset(t, -1, sizeof t);
        const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 64; ++i) t[(unsigned char)alphabet[i]] = (signed char)i;
        return t;
    }();
    unsigned acc = 0;
    int bits = 0, pad = 0;
    for (unsigned char c : in) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
        if (c == '=') {
            ++pad;
            continue;
        }
        if (pad || table[c] < 0) return false;  // nothing may follow the padding
        acc = (acc << 6) | (unsigned)table[c];
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back((UInt8)(acc >> bits));
        }
    }
    // Leftover bits must be the zero fill of a properly padded end.
    return pad <= 2 && bits < 6 && (acc & ((1u << bits) - 1)) == 0 && (pad == 0 || (bits / 2) == pad);
}

// A value shown in a one-line message: short, without control characters.
std::string quoted(const std::string& s)
{
    std::string q = s.substr(0, 32);
    for (char& c : q)
        if ((unsigned char)c < 0x20 || c == 0x7f) c = '?';
    return "\"" + q + (s.size() > 32 ? "...\"" : "\"");
}

struct Reader {
    std::string error;

    std::string where(xmlNodePtr n) { return "line " + std::to_string(xmlGetLineNo(n)) + ": "; }

    CFTypeRef fail(xmlNodePtr n, const std::string& why)
    {
        if (error.empty()) error = where(n) + why;
        return nullptr;
    }

    static std::string content(xmlNodePtr n)
    {
        xmlChar* c = xmlNodeGetContent(n);
        std::string s = c ? (const char*)c : "";
        xmlFree(c);
        return s;
    }

    static std::string trimmed(const std::string& s)
    {
        size_t b = s.find_first_not_of(" \t\r\n"), e = s.find_last_not_of(" \t\r\n");
        return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
    }

    // Element children only; false when there is non-blank text between them.
    bool children(xmlNodePtr n, std::vector<xmlNodePtr>& out)
    {
        for (xmlNodePtr c = n->children; c; c = c->next) {
            if (c->type == XML_ELEMENT_NODE) out.push_back(c);
            else if ((c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE) && !trimmed(content(c)).empty()) {
                fail(c, "text where only elements belong");
                return false;
            }
        }
        return true;
    }

    CFTypeRef value(xmlNodePtr n, int depth)
    {
        if (depth > kMaxDepth) return fail(n, "the property list is nested too deeply");
        const char* name = (const char*)n->name;
        if (!std::strcmp(name, "string")) {
            std::string s = content(n);
            CFStringRef r = CFStringCreateWithBytes(kCFAllocatorDefault, (const UInt8*)s.data(), (CFIndex)s.size(),
                                                    kCFStringEncodingUTF8, false);
            return r ? r : fail(n, "<string> is not valid UTF-8");
        }
        if (!std::strcmp(name, "integer")) {
            std::string s = trimmed(content(n));
            long long v = 0;
            auto r = std::from_chars(s.data(), s.data() + s.size(), v);
            if (s.empty() || r.ec != std::errc() || r.ptr != s.data() + s.size())
                return fail(n, "<integer> holds " + quoted(s) + ", not a whole number");
            SInt64 i = v;
            return CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &i);
        }
        if (!std::strcmp(name, "real")) {
            std::string s = trimmed(content(n));
            double v = 0;
            auto r = std::from_chars(s.data(), s.data() + s.size(), v);
            if (s.empty() || r.ec != std::errc() || r.ptr != s.data() + s.size())
                return fail(n, "<real> holds " + quoted(s) + ", not a number");
            return CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat64Type, &v);
        }
        if (!std::strcmp(name, "data")) {
            std::vector<UInt8> bytes;
            if (!base64_decode(content(n), bytes)) return fail(n, "<data> is not valid base64");
            return CFDataCreate(kCFAllocatorDefault, bytes.data(), (CFIndex)bytes.size());
        }
        std::vector<xmlNodePtr> kids;
        if (!std::strcmp(name, "array")) {
            if (!children(n, kids)) return nullptr;
            CFMutableArrayRef a = CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
            CFHolder hold(a);
            for (xmlNodePtr k : kids) {
                CFHolder v(value(k, depth + 1));
                if (!v) return nullptr;
                CFArrayAppendValue(a, v.get());
            }
            return hold.release();
        }
        if (!std::strcmp(name, "dict")) {
            if (!children(n, kids)) return nullptr;
            CFMutableDictionaryRef d = CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                                                 &kCFTypeDictionaryValueCallBacks);
            CFHolder hold(d);
            for (size_t i = 0; i < kids.size(); i += 2) {
                if (std::strcmp((const char*)kids[i]->name, "key"))
                    return fail(kids[i], "<" + std::string((const char*)kids[i]->name) + "> where a <key> belongs");
                if (i + 1 >= kids.size()) return fail(kids[i], "<key> without a value");
                std::string k = content(kids[i]);
                CFHolder key(CFStringCreateWithBytes(kCFAllocatorDefault, (const UInt8*)k.data(), (CFIndex)k.size(),
                                                     kCFStringEncodingUTF8, false));
                if (!key) return fail(kids[i], "<key> is not valid UTF-8");
                CFHolder v(value(kids[i + 1], depth + 1));
                if (!v) return nullptr;
                CFDictionarySetValue(d, key.get(), v.get());
            }
            return hold.release();
        }
        return fail(n, "<" + std::string(name) + "> is not a value this program reads");
    }

    CFTypeRef document(xmlDocPtr doc)
    {
        xmlNodePtr root = xmlDocGetRootElement(doc);
        if (!root) {
            error = "the file holds no property list";
            return nullptr;
        }
        if (std::strcmp((const char*)root->name, "plist")) return value(root, 0);
        std::vector<xmlNodePtr> kids;
        if (!children(root, kids)) return nullptr;
        if (kids.size() != 1) return fail(root, "<plist> must hold exactly one value");
        return value(kids[0], 0);
    }
};

const int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

void quiet(void*, const char*, ...) {}

// libxml2 reports some faults (bad encodings) straight to standard error;
// the reader reports one line itself.
void silence_libxml()
{
    xmlSetGenericErrorFunc(nullptr, quiet);
    xmlResetLastError();
}

CFPropertyListRef finish(xmlDocPtr doc, std::string& error)
{
    if (!doc) {
        const xmlError* e = xmlGetLastError();
        std::string msg = e && e->message ? e->message : "not an XML file";
        msg = msg.substr(0, msg.find('\n'));  // some messages go on with a line of bytes
        while (!msg.empty() && msg.back() == ' ') msg.pop_back();
        if (msg.empty()) msg = "not an XML file";
        error = (e && e->line > 0 ? "line " + std::to_string(e->line) + ": " : std::string()) + msg;
        return nullptr;
    }
    Reader r;
    CFPropertyListRef p = r.document(doc);
    xmlFreeDoc(doc);
    if (!p) error = r.error;
    return p;
}

} // namespace

bool write_plist_file(CFPropertyListRef plist, const std::string& path, std::string& error)
{
    std::unique_ptr<xmlBuffer, decltype(&xmlBufferFree)> text(xmlBufferCreate(), xmlBufferFree);
    xmlTextWriterPtr w = text ? xmlNewTextWriterMemory(text.get(), 0) : nullptr;
    if (!w) {
        error = "out of memory";
        return false;
    }
    Writer out{w, {}};
    xmlTextWriterSetIndent(w, 1);
    xmlTextWriterSetIndentString(w, BAD_CAST "\t");
    bool good = out.ok(xmlTextWriterStartDocument(w, "1.0", "UTF-8", nullptr)) &&
                out.ok(xmlTextWriterWriteDTD(w, BAD_CAST "plist", BAD_CAST "-//Apple//DTD PLIST 1.0//EN",
                                             BAD_CAST "http://www.apple.com/DTDs/PropertyList-1.0.dtd", nullptr)) &&
                out.ok(xmlTextWriterStartElement(w, BAD_CAST "plist")) &&
                out.ok(xmlTextWriterWriteAttribute(w, BAD_CAST "version", BAD_CAST "1.0")) && out.value(plist, 0) &&
                out.ok(xmlTextWriterEndDocument(w));
    // Freeing the writer flushes it into the buffer.
    xmlFreeTextWriter(w);
    if (!good) {
        error = out.error;
        return false;
    }
    Kvo::FileSave save(path, Kvo::FileSave::Unnamed, &error);
    return save.ok() && save.write(xmlBufferContent(text.get()), (size_t)xmlBufferLength(text.get())) && save.commit();
}

CFPropertyListRef read_plist_file(const std::string& path, std::string& error)
{
    Kvo::RegularFile file(path, &error);
    if (!file.ok()) return nullptr;
    silence_libxml();
    return finish(xmlReadFd(file.fd(), path.c_str(), nullptr, kParseOptions), error);
}

CFPropertyListRef read_plist_memory(const char* text, size_t size, std::string& error)
{
    silence_libxml();
    if (size > (size_t)INT32_MAX) {
        error = "the file is too large";
        return nullptr;
    }
    return finish(xmlReadMemory(text, (int)size, "state", nullptr, kParseOptions), error);
}

} // namespace qmhost
