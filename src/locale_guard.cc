#include "utils.h"

#include <cstdio>
#include <cstdlib>

LocaleGuard::LocaleGuard(const char* name)
    : old(uselocale((locale_t)0)), current((locale_t)0)
{
    if (!name) {
        return;
    }
    // Start from a copy of what the thread uses now, so only the numeric
    // category changes.
    locale_t base = duplocale(old);
    if (base == (locale_t)0) {
        return;
    }
    current = newlocale(LC_NUMERIC_MASK, name, base);
    if (current == (locale_t)0) {
        freelocale(base);  // untouched by a failed newlocale
        return;
    }
    uselocale(current);
}

LocaleGuard::~LocaleGuard()
{
    if (current != (locale_t)0) {
        uselocale(old);
        freelocale(current);
    }
}

bool Quillomat::parse_double(const std::string& text, double& out)
{
    const char* begin = text.c_str();
    char* end = nullptr;
    const double v = std::strtod(begin, &end);
    if (end == begin) {
        return false;
    }
    out = v;
    return true;
}
