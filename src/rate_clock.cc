// A loop's position at every rate, and the plans of its stretches.
#include "rate_clock.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace Quillomat {

namespace {

constexpr uint64_t FadeStep = RateClock::One / 64;
constexpr double FracScale = 1.0 / 4294967296.0;

inline float weight_of(uint64_t y) { return (float)((double)(uint32_t)y * FracScale); }

inline float lerp(float a, float b, float w) { return a + w * (b - a); }

// Calls fn(j) for each pulse of a sync signal; most of one is silence,
// skipped a group at a time.
template <typename Fn>
void for_each_pulse(const float* sync, nframes_t n, Fn fn)
{
    const nframes_t group = 16;
    for (nframes_t g = 0; g < n; g += group) {
        const nframes_t end = n - g < group ? n : g + group;
        uint32_t any = 0;
        for (nframes_t j = g; j < end; ++j) {
            uint32_t bits;
            std::memcpy(&bits, &sync[j], sizeof bits);
            any |= bits & 0x7FFFFFFFu;
        }
        if (any == 0) {
            continue;
        }
        for (nframes_t j = g; j < end; ++j) {
            if (sync[j] != 0.0f) {
                fn(j);
            }
        }
    }
}

} // namespace

void RateClock::reserve(nframes_t block)
{
    release();
    _in_at = new uint32_t[most_made(block)];
    _in_w = new float[most_made(block)];
    _y = new uint64_t[block ? block : 1];
    _cap = block;
    settle();
}

void RateClock::release()
{
    delete[] _in_at;
    delete[] _in_w;
    delete[] _y;
    _in_at = nullptr;
    _in_w = nullptr;
    _y = nullptr;
    _cap = 0;
}

void RateClock::settle()
{
    _lag = frac(_x);
    _filter = 0;
    _in_waiting = false;
    _out_waiting = 0;
    _n = _made = 0;
}

void RateClock::set_rate(float rate)
{
    const float r = std::min(4.0f, std::max(0.25f, rate));
    // Exact: a float from 1/4 to 4 times 2^32 is a whole number.
    _r = (uint64_t)std::ldexp((double)r, 32);
}

void RateClock::plan(nframes_t n)
{
    n = std::min(n, _cap);
    _n = n;
    _x0 = _x;
    _base = (uint32_t)(_x >> 32) - 1;
    _plan_one = _r == One;
    _filter0 = _filter;
    _filter_starts = _r < One && _filter == 0 && n > 0;

    const uint64_t r = _r;
    // Buffer positions are counted from the loop frame at index 0.
    const uint64_t origin = (uint64_t)_base << 32;
    uint64_t x = _x;
    uint64_t lag = _lag;
    nframes_t made = 0;
    if (_plan_one) {
        const uint64_t phi = frac(x);
        for (nframes_t j = 0; j < n; ++j) {
            x += One;
            lag = lag > phi + FadeStep ? lag - FadeStep : phi;
            _y[j] = x - lag - origin;
        }
        made = n;
    } else {
        const double inv_r = 1.0 / (double)r;
        for (nframes_t j = 0; j < n; ++j) {
            // How far the next loop frame lies past x.
            uint64_t d = One - frac(x);
            for (; d <= r; d += One) {
                _in_at[made] = j;
                _in_w[made] = (float)((double)d * inv_r);
                ++made;
            }
            x += r;
            lag = std::min(lag + r, One);
            _y[j] = x - lag - origin;
        }
    }
    _made = made;
    _x = x;
    _lag = lag;
    if (n > 0) {
        _filter = filter_at(n - 1);
    }
}

void RateClock::to_loop(const float* in, float prev, float* loop) const
{
    for (nframes_t i = 0; i < _made; ++i) {
        const uint32_t j = _in_at[i];
        const float a = j > 0 ? in[j - 1] : prev;
        loop[i] = lerp(a, in[j], _in_w[i]);
    }
}

void RateClock::to_block(const float* loop, float* out) const
{
    for (nframes_t j = 0; j < _n; ++j) {
        const uint64_t y = _y[j];
        const uint32_t i = (uint32_t)(y >> 32);
        const float w = weight_of(y);
        // Never the frame past it unless it is heard: it may not be made.
        out[j] = w == 0.0f ? loop[i] : lerp(loop[i], loop[i + 1], w);
    }
}

int RateClock::filter_at(nframes_t j) const
{
    if (_r < One) {
        return _filter_starts ? FilterSteps : std::min(FilterSteps, _filter0 + (int)j + 1);
    }
    return std::max(0, _filter0 - (int)j - 1);
}

void RateClock::sync_to_loop(const float* block_sync, float* loop_sync)
{
    std::memset(loop_sync, 0, (size_t)_made * sizeof(float));
    const uint32_t first = _base + 2;  // the first loop frame this plan makes
    if (_in_waiting && (uint32_t)(_in_frame - first) < _made) {
        loop_sync[_in_frame - first] = 1.0f;
        _in_waiting = false;
    }
    for_each_pulse(block_sync, _n, [&](nframes_t j) {
        const uint64_t before = _x0 + (uint64_t)j * _r;
        const uint64_t after = before + _r;
        // The nearest loop frame, or the next one made when that is past.
        uint32_t k = (uint32_t)((after + One / 2) >> 32);
        const uint32_t next = (uint32_t)(before >> 32) + 1;
        if ((int32_t)(k - next) < 0) {
            k = next;
        }
        if ((uint32_t)(k - first) < _made) {
            loop_sync[k - first] = 1.0f;
        } else {
            _in_waiting = true;
            _in_frame = k;
        }
    });
}

bool RateClock::waiting_in(nframes_t& at) const
{
    const uint32_t first = _base + 2;
    if (!_in_waiting || !_plan_one || (uint32_t)(_in_frame - first) >= _n) {
        return false;
    }
    at = _in_frame - first;
    return true;
}

bool RateClock::place_out(uint32_t k, float* block_sync) const
{
    // A frame made before this plan's frames is heard at once.
    const int32_t rel = (int32_t)(k - _base);
    const uint64_t at = rel < 1 ? 0 : ((uint64_t)rel << 32) - One / 2;
    const uint64_t* y = std::lower_bound(_y, _y + _n, at);
    if (y == _y + _n) {
        return false;
    }
    block_sync[y - _y] = 1.0f;
    return true;
}

void RateClock::sync_to_block(const float* loop_sync, float* block_sync)
{
    // Each loop frame with a pulse is heard in the first block frame whose
    // position comes within half a frame of it: those still waiting first.
    int kept = 0;
    for (int w = 0; w < _out_waiting; ++w) {
        if (!place_out(_out_frame[w], block_sync)) {
            _out_frame[kept++] = _out_frame[w];
        }
    }
    _out_waiting = kept;
    if (loop_sync) {
        for_each_pulse(loop_sync, _made, [&](nframes_t i) {
            const uint32_t k = _base + 2 + (uint32_t)i;
            if (!place_out(k, block_sync) && _out_waiting < MaxOutWaiting) {
                _out_frame[_out_waiting++] = k;
            }
        });
    }
}

} // namespace Quillomat
