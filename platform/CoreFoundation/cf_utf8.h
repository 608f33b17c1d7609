#pragma once
// UTF-8 checking for the string stand-ins here and in Foundation. Header
// only, so Foundation need not link this library.
#include <cstddef>

namespace qmcf {

// Decodes one UTF-8 sequence at s[i] and moves i past it; -1 (i unchanged)
// for a malformed, overlong or surrogate sequence or a code point past U+10FFFF.
inline long decode_utf8(const unsigned char* s, size_t n, size_t& i)
{
    unsigned char c = s[i];
    if (c < 0x80) {
        ++i;
        return c;
    }
    int extra;
    long cp;
    long min;
    if ((c & 0xE0) == 0xC0) { extra = 1; cp = c & 0x1F; min = 0x80; }
    else if ((c & 0xF0) == 0xE0) { extra = 2; cp = c & 0x0F; min = 0x800; }
    else if ((c & 0xF8) == 0xF0) { extra = 3; cp = c & 0x07; min = 0x10000; }
    else return -1;
    if (n - i <= (size_t)extra) return -1;
    for (int k = 1; k <= extra; ++k) {
        unsigned char d = s[i + k];
        if ((d & 0xC0) != 0x80) return -1;
        cp = (cp << 6) | (d & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
    i += extra + 1;
    return cp;
}

inline bool valid_utf8(const unsigned char* s, size_t n)
{
    for (size_t i = 0; i < n;)
        if (decode_utf8(s, n, i) < 0) return false;
    return true;
}

} // namespace qmcf
