// A loop's audio and sync across its rate change, as one stream.
#include "rate_stream.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace Quillomat {

namespace {

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

// The far frame nearest to near frame j, counting far frames of `step` from
// `first` (fixed point, a near frame being `unit`), never before the first.
uint64_t nearest(nframes_t j, int64_t first, int64_t step, int64_t unit)
{
    const int64_t from = (int64_t)j * unit - first;
    return from > 0 ? (uint64_t)((from + step / 2) / step) : 0;
}

} // namespace

bool RateStream::build(int type, unsigned int chans, int& err)
{
    if (!_in.build(type, chans, err) || !_out.build(type, chans, err)) {
        release();
        return false;
    }
    _started = false;
    return true;
}

void RateStream::release()
{
    _in.release();
    _out.release();
    _started = false;
}

void RateStream::reserve(nframes_t block, nframes_t loop)
{
    // The way to the loop hands out what it makes at once: no queue.
    _in.reserve(block, 0);
    _out.reserve(loop, block);
    _started = false;
    _owed = 0;
}

void RateStream::set_ratio(double rate)
{
    // The converters take the rate the frames are counted at.
    const int64_t step = step_of(rate);
    _in_ratio = (double)One / (double)step;
    _out_ratio = (double)step / (double)One;
    _in.set_ratio(_in_ratio);
    _out.set_ratio(_out_ratio);
    _rate = rate;
    _to_loop.step = step;
    _to_block.rescale(step);
    if (!_started) {
        return;
    }
    // The next loop frame lies at _to_loop.next on the block side; the block
    // frame that reaches it goes out after those queued and as many more as
    // it lies ahead of the next block frame to be made. It should go out
    // latency() after the input it came from: slower, the way back needs
    // more time, faster less.
    const double content = (double)_to_loop.next / (double)One;
    const double out = (double)_out.queued() - (double)_to_block.next / (double)One;
    const long shift = std::lround(content + latency(rate) - out);
    _out.shift(shift);
}

nframes_t RateStream::to_loop_rest(float* loop, float* loop_sync)
{
    // Those lying before the last block frame given: a stretch of N block
    // frames then runs rate x N loop frames in all, less a fraction the loop
    // takes as a whole frame and owes the next stream.
    nframes_t m = 0;
    if (_started) {
        const int64_t lying = (int64_t)((__int128)(-One - _to_loop.next) * One / _to_loop.step);
        m = lying > 0 ? (nframes_t)((lying + One - 1) >> 32) : 0;
        _owed = (int64_t)m * One - lying;
    }
    _in.flush(loop, m, _in_ratio);
    std::memset(loop_sync, 0, (size_t)m * sizeof(float));
    _loop_pulses.place(loop_sync, m);
    _loop_pulses.count = 0;
    return m;
}

void RateStream::go_direct()
{
    _to_block.rescale(One);
    _out_ratio = 1.0;
    _out.set_ratio(_out_ratio);
}

void RateStream::start()
{
    _in.reset();
    _out.reset(lead(_rate));
    _to_loop.start();
    _to_loop.next += (int64_t)(((__int128)_owed * _to_loop.step) >> 32);
    _owed = 0;
    _to_block.start();
    _loop_pulses.count = 0;
    _block_pulses.count = 0;
    _started = true;
}

nframes_t RateStream::Schedule::take(nframes_t n)
{
    // The stream's first frame lies a frame before its first input: it is
    // made from one frame given.
    nframes_t k = 0;
    const int64_t limit = ((int64_t)n - Lookahead) * unit;
    if (next <= limit) {
        const int64_t more = (limit - next) / step + 1;
        k = (nframes_t)more;
        next += more * step;
    }
    next -= (int64_t)n * unit;
    return k;
}

void RateStream::Schedule::rescale(int64_t unit_)
{
    // Rounded down: the next frame never lies later than it did.
    const __int128 at = (__int128)next * unit_;
    next = (int64_t)(at / unit - (at % unit < 0 ? 1 : 0));
    unit = unit_;
}

void RateStream::Waiting::place(float* dst, nframes_t n)
{
    int kept = 0;
    for (int w = 0; w < count; ++w) {
        if (at[w] < n) {
            dst[at[w]] = 1.0f;
        } else {
            at[kept++] = at[w] - n;
        }
    }
    count = kept;
}

void RateStream::Waiting::add(uint64_t offset)
{
    // Pulses closer than a frame make one.
    if (count < Max && (count == 0 || at[count - 1] != offset)) {
        at[count++] = (nframes_t)std::min<uint64_t>(offset, UINT32_MAX);
    }
}

nframes_t RateStream::to_loop(const float* in, nframes_t n, float* loop, const float* sync_in, float* loop_sync)
{
    if (!_started) {
        start();
    }
    const int64_t head = _to_loop.next;
    const nframes_t m = _to_loop.take(n);
    _in.convert(in, n, loop, m, _in_ratio);

    std::memset(loop_sync, 0, (size_t)m * sizeof(float));
    _loop_pulses.place(loop_sync, m);
    for_each_pulse(sync_in, n, [&](nframes_t j) {
        const uint64_t k = nearest(j, head, _to_loop.step, One);
        if (k < m) {
            loop_sync[k] = 1.0f;
        } else {
            _loop_pulses.add(k - m);
        }
    });
    return m;
}

void RateStream::to_block(const float* loop, nframes_t m, float* out, nframes_t n, const float* loop_sync,
                          float* sync_out)
{
    // The next block frame made goes out after those queued.
    const int64_t head = _to_block.next;
    const long due = std::max(_out.queued(), 0L);
    const nframes_t made = _to_block.take(m);
    _out.pull(loop, m, made, out, n, _out_ratio);

    if (!sync_out) {
        _block_pulses.count = 0;
        return;
    }
    std::memset(sync_out, 0, (size_t)n * sizeof(float));
    _block_pulses.place(sync_out, n);
    for_each_pulse(loop_sync, m, [&](nframes_t k) {
        const uint64_t at = (uint64_t)due + nearest(k, head, One, _to_block.unit);
        if (at < n) {
            sync_out[at] = 1.0f;
        } else {
            _block_pulses.add(at - n);
        }
    });
}

} // namespace Quillomat
