#pragma once
// Small per-sample helpers shared by the loop processor, the Looper and the
// engine: level ramps, crossfade steps, peaks and meter fall-off, and guards
// against values that must never reach a loop memory or a host buffer.
// Header only, so each stays inlined in its hot loop.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "utils.h"

namespace Quillomat {
namespace dsp {

// A linear ramp over one stretch of n frames: frame j (from 0) gets
// start + (j + 1) * step, and the last frame is exactly the target, so a
// level never overshoots however short the stretch.
struct LinearRamp {
    float start = 0.0f;
    float step = 0.0f;
    float target = 0.0f;
    uint32_t frames = 0;

    static LinearRamp over(float start, float target, uint32_t n)
    {
        LinearRamp r;
        r.start = start;
        r.target = target;
        r.frames = n;
        r.step = n ? flush_to_zero(target - start) / (float)n : 0.0f;
        return r;
    }

    float at(uint32_t j) const { return (j + 1 >= frames) ? target : start + (float)(j + 1) * step; }
    bool flat() const { return step == 0.0f; }
};

// Crossfade envelopes move by this much per sample over n samples (n >= 1).
inline float fade_step(unsigned int n) { return 1.0f / (float)(n ? n : 1u); }

// One step of a crossfade envelope: its level moved by delta and kept
// exactly within 0..1. Level and step are always finite, so unlike clamp01
// there is no NaN test in this per-sample path.
inline float envelope_step(float level, float delta)
{
    level += delta;
    return level < 0.0f ? 0.0f : (level > 1.0f ? 1.0f : level);
}

// Envelopes and gains in 0..1; NaN counts as 0. Exact at both ends, unlike
// f_clamp, whose rounding would settle an envelope just below 1.
inline float clamp01(float v) { return v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : (v == v ? v : 0.0f)); }

// A sample that is not finite counts as silence.
inline float finite_or_zero(float v) { return std::isfinite(v) ? v : 0.0f; }

inline uint32_t float_bits(float v)
{
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

inline float bits_float(uint32_t bits)
{
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// For a sum written to a buffer someone else reads: non-finite becomes
// silence and denormals become zero (below 2^-111, as flush_to_zero);
// ordinary levels, above 1.0 included, pass untouched. On the raw bits, so
// loops over whole blocks stay free of branches.
inline float mix_guard(float v)
{
    const uint32_t bits = float_bits(v);
    const uint32_t e = bits & 0x7F800000u;
    return bits_float(bits & ((uint32_t)0 - (uint32_t)((e >= 0x08000000u) & (e != 0x7F800000u))));
}

// Four samples at a time (the compiler's vector extension: one SSE
// register, no branch per sample), for the block loops below.
typedef float v4f __attribute__((vector_size(16)));
typedef int32_t v4i __attribute__((vector_size(16)));
const uint32_t kLanes = 4;

inline v4f load4(const float* p)
{
    v4f v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store4(float* p, v4f v) { std::memcpy(p, &v, sizeof v); }

// mix_guard on four samples.
inline v4f guard4(v4f v)
{
    v4i bits;
    std::memcpy(&bits, &v, sizeof bits);
    const v4i e = bits & 0x7F800000;
    bits &= (e >= 0x08000000) & (e != 0x7F800000);
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

inline v4f abs4(v4f v)
{
    v4i bits;
    std::memcpy(&bits, &v, sizeof bits);
    bits &= 0x7FFFFFFF;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// mix_guard over a block.
inline void mix_guard_block(float* buf, uint32_t n)
{
    uint32_t i = 0;
    for (; i + kLanes <= n; i += kLanes) store4(buf + i, guard4(load4(buf + i)));
    for (; i < n; ++i) buf[i] = mix_guard(buf[i]);
}

// out = guarded(mix * w + in * d) at fixed levels; in may be null.
inline void mix_steady(float* out, const float* mix, const float* in, float w, float d, uint32_t n)
{
    const v4f w4 = {w, w, w, w}, d4 = {d, d, d, d};
    uint32_t k = 0;
    for (; k + kLanes <= n; k += kLanes) {
        const v4f dry = in ? load4(in + k) * d4 : v4f{0.0f, 0.0f, 0.0f, 0.0f};
        store4(out + k, guard4(load4(mix + k) * w4 + dry));
    }
    for (; k < n; ++k) {
        out[k] = mix_guard(mix[k] * w + (in ? in[k] * d : 0.0f));
    }
}

// The largest magnitude in a block, at least peak. A NaN is passed over, so
// a meter fed from here never reads one.
inline float abs_peak(const float* x, uint32_t n, float peak = 0.0f)
{
    v4f m = {peak, peak, peak, peak};
    uint32_t k = 0;
    for (; k + kLanes <= n; k += kLanes) {
        const v4f a = abs4(load4(x + k));
        m = a > m ? a : m;
    }
    float p = peak;
    for (uint32_t i = 0; i < kLanes; ++i) p = m[i] > p ? m[i] : p;
    for (; k < n; ++k) {
        const float a = fabsf(x[k]);
        p = a > p ? a : p;
    }
    return p;
}

// The factor by which a meter falls over a drop of db_drop decibels.
inline float fall_factor(float db_drop)
{
    return powf(10.0f, -db_drop * 0.05f);
}

// A meter's peak after one fall by factor: down to -90 dB (10^-4.5), then
// nothing; never NaN, never above 20. Not f_clamp: its sums round a small
// peak to a multiple of about 2e-6, and a meter near -85 dB would then never
// fall any further.
inline float fall_off(float peak, float factor)
{
    if (!(peak > 0.0f)) {
        return 0.0f;
    }
    float p = peak * factor;
    p = p > 3.16227766e-5f ? p : 0.0f;
    p = p < 20.0f ? p : 20.0f;
    return flush_to_zero(p);
}

} // namespace dsp
} // namespace Quillomat
