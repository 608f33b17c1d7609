#pragma once
// A loop's audio and sync signal taken to its own rate and back, as one
// stream from the stretch it left rate 1, so that what the loop records and
// plays does not depend on where the blocks were split.
//
// Which frames each converter makes in a stretch is counted from the frames
// given so far alone, in fixed point, so every split of the same frames counts
// the same: loop frame i lies at block position i x step - 1 (a converter's
// first frame comes twice) and is made once the input reaches Lookahead
// frames past it; the way back likewise, with block frame j at loop position
// j / step - 1. Both ways, and both converters, run at that one step, the
// rate rounded to the fixed point, so neither the count nor the round trip
// drifts from the converters however long a stream runs. Block frames then go
// out lead() frames after the stream's first, which fills the lead: the
// loop's output comes latency() frames late.
#include <cmath>
#include <cstdint>

#include "audio_driver.h"
#include "rate_converter.h"

namespace Quillomat {

class RateStream {
public:
    // Input frames a converter is given past a frame before it makes it:
    // libsamplerate's linear converter looks up to two frames ahead.
    static constexpr int64_t Lookahead = 2;

    // Block frames the way back holds the stream's first frame: what it
    // needs to have made each block frame in time, 1 / rate, and one more.
    static nframes_t lead(double rate) { return (nframes_t)std::ceil(1.0 / rate) + 1; }
    // How late the loop's output comes, in block frames: the lead, and the
    // converters' own delay.
    static double latency(double rate) { return lead(rate) + 1.0 + 1.0 / rate; }

    // False, with libsamplerate's error number in err, when a converter
    // cannot be built. Throws std::bad_alloc as new does, as does reserve.
    bool build(int type, unsigned int chans, int& err);
    void release();
    // Stretches of up to block frames, loop stretches of up to loop frames.
    void reserve(nframes_t block, nframes_t loop);

    // Loop frames per block frame, at once. Mid-stream, the output then goes
    // out as late as a stream begun at this rate would: a few frames are
    // held, or passed over.
    void set_ratio(double rate);
    // The next stretch starts a new stream.
    void restart() { _started = false; }
    // Audio thread. The loop frames that lie before the end of the block
    // frames given and that the way to the loop still holds, the input taken
    // to go on as its last frame; as to_loop. No more go to the loop.
    nframes_t to_loop_rest(float* loop, float* loop_sync);
    // The way back goes on at rate 1, as late as it is.
    void go_direct();

    // Audio thread. The n block frames (interleaved) to the loop rate: the
    // loop frames this stretch runs go to loop (room for the most a stretch
    // of the reserved size makes), and the pulses of sync_in (n frames) to
    // loop_sync at those frames. Returns their count.
    nframes_t to_loop(const float* in, nframes_t n, float* loop, const float* sync_in, float* loop_sync);
    // Audio thread. The m loop frames back to exactly n block frames; the
    // pulses of loop_sync to sync_out (n frames), with the audio. A null
    // sync_out maps no pulses.
    void to_block(const float* loop, nframes_t m, float* out, nframes_t n, const float* loop_sync, float* sync_out);

private:
    static constexpr int64_t One = int64_t(1) << 32;

    // The frames of one side that a stretch of the other makes.
    struct Schedule {
        int64_t unit = One;  // a near frame
        int64_t step = One;  // from one far frame to the next
        int64_t next = 0;    // the next far frame, from the start of the next near stretch
        void start() { next = -unit; }
        // Near frames of another length: the next far frame stays where it lies.
        void rescale(int64_t unit_);
        // The far frames a stretch of n near frames makes.
        nframes_t take(nframes_t n);
    };

    // Pulses bound for frames of a later stretch, as offsets past this one.
    struct Waiting {
        static constexpr int Max = 8;
        nframes_t at[Max] = {};
        int count = 0;
        // Places those that fall within n frames of dst, keeps the rest.
        void place(float* dst, nframes_t n);
        void add(uint64_t offset);
    };

    void start();
    // Block frames per loop frame, in fixed point.
    static int64_t step_of(double rate) { return std::llround((double)One / rate); }

    RateConverter _in;
    RateConverter _out;
    double _rate = 1.0;
    double _in_ratio = 1.0, _out_ratio = 1.0;  // as the converters count
    bool _started = false;
    int64_t _owed = 0;  // loop frames (fixed point) the last stream ran past its rate
    Schedule _to_loop, _to_block;  // loop frames from block frames, and back
    Waiting _loop_pulses, _block_pulses;
};

} // namespace Quillomat
