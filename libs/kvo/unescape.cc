#include <kvo/unescape.h>

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
        switch (*in) {
        case 'b':
            *out++ = '\b';
            ++in;
            break;
        case 'f':
            *out++ = '\f';
            ++in;
            break;
        case 'n':
            *out++ = '\n';
            ++in;
            break;
        case 'r':
            *out++ = '\r';
            ++in;
            break;
        case 't':
            *out++ = '\t';
            ++in;
            break;
        case 'v':
            *out++ = '\v';
            ++in;
            break;
        case 'x': {
            ++in;
            int value = 0;
            for (int i = 0; i < 2 && hex_value(*in) >= 0; ++i) {
                value = value * 16 + hex_value(*in++);
            }
            *out++ = char(value);
            break;
        }
        default:
            if (*in >= '0' && *in <= '7') {
                int value = 0;
                for (int i = 0; i < 3 && *in >= '0' && *in <= '7'; ++i) {
                    value = value * 8 + (*in++ - '0');
                }
                *out++ = char(value);
            } else {
                // Quotes, the backslash and anything else stand for themselves.
                *out++ = *in++;
            }
            break;
        }
    }
    *out = '\0';
}

} // namespace Kvo
