#include <kvo/unescape.h>

#include <cstring>

namespace Kvo {

namespace {
int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}
} // namespace

void unescape(char* s) {
    char* in = s;
    char* out = s;
    while (*in) {
        if (*in != '\\') {
            *out++ = *in++;
            continue;
        }
        ++in;
        if (*in == '\0') {
            // Nothing follows: the backslash stands for itself.
            *out++ = '\\';
            break;
        }
        // The letters and the control characters they stand for, in step.
        static const char letters[] = "bfnrtv";
        static const char controls[] = "\b\f\n\r\t\v";
        if (const char* l = std::strchr(letters, *in)) {
            *out++ = controls[l - letters];
            ++in;
        } else if (*in == 'x') {
            ++in;
            int value = 0;
            for (int i = 0; i < 2 && hex_value(*in) >= 0; ++i) {
                value = value * 16 + hex_value(*in++);
            }
            *out++ = char(value);
        } else if (*in >= '0' && *in <= '7') {
            int value = 0;
            for (int i = 0; i < 3 && *in >= '0' && *in <= '7'; ++i) {
                value = value * 8 + (*in++ - '0');
            }
            *out++ = char(value);
        } else {
            // Quotes, the backslash and anything else stand for themselves.
            *out++ = *in++;
        }
    }
    *out = '\0';
}

} // namespace Kvo
