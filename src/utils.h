#pragma once
// Branch-free float helpers for the audio path, and the numeric locale guard
// held around every XML state read and write.
//
// The float helpers also compile as C so the loop processor can use them
// whichever language it is built in.
#include <math.h>
#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
#include <clocale>
#include <locale.h>
#define QM_INLINE inline
namespace Quillomat {
#else
#define QM_INLINE static inline
#endif

// Anything below 2^-111 in magnitude (denormals, both zeros) becomes +0.0:
// the biased exponent is tested on the raw bits, so NaN and infinity pass.
QM_INLINE float flush_to_zero(float v)
{
    uint32_t bits;
    memcpy(&bits, &v, sizeof bits);
    // All ones when the exponent is at least 16, else all zeros.
    const uint32_t keep = (uint32_t)0 - (uint32_t)((bits & 0x7F800000u) >= 0x08000000u);
    bits &= keep;
    memcpy(&v, &bits, sizeof v);
    return v;
}

QM_INLINE float f_max(float x, float a)
{
    float d = x - a;
    d = d + fabsf(d);
    d = (float)(d * 0.5);
    return d + a;
}

// Value, lower bound, upper bound; the caller guarantees a <= b.
QM_INLINE float f_clamp(float x, float a, float b)
{
    const float x1 = fabsf(x - a);
    const float x2 = fabsf(x - b);
    float s = x1 + a;
    s = s + b;
    s = s - x2;
    return (float)(s * 0.5);
}

#ifdef __cplusplus
} // namespace Quillomat

// Switches the calling thread's numeric locale for the guard's lifetime, so
// numbers are written and parsed with a full stop whatever the host's locale.
// Only this thread is affected: the host's other threads keep theirs. Guards
// nest; each restores the locale in force when it was built. Allocates, so
// never on the audio thread.
class LocaleGuard {
public:
    explicit LocaleGuard(const char* name);
    ~LocaleGuard();

    LocaleGuard(const LocaleGuard&) = delete;
    LocaleGuard& operator=(const LocaleGuard&) = delete;

private:
    locale_t old;       // the thread's locale before (may be the global one)
    locale_t current;   // ours, or (locale_t)0 when nothing was switched
};

#include <string>

namespace Quillomat {
// A number read from state text under the guard, as "%g" reads it: leading
// blanks are skipped and the leading number counts, whatever follows it;
// false, with out left alone, when the text starts with none.
bool parse_double(const std::string& text, double& out);
} // namespace Quillomat
#endif

#undef QM_INLINE
