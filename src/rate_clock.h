#pragma once
// Where a loop is, at every rate: one fixed-point count that every path of
// the looper reads, so that neither the time a loop keeps nor what it plays
// depends on how the blocks were split or on the way between two rates.
//
// x counts loop frames (32.32 fixed point, modular) and moves by exactly the
// rate, r, every block frame: a rate is a float, so r = rate x 2^32 is a whole
// number for every rate from 1/4 to 4, and no count is ever rounded. Loop
// frame k is made in the block frame in which x reaches k, from the input
// interpolated at the moment it did. Block frame t plays loop position
// y = x - lag, interpolated between the two loop frames around it. Away from
// rate 1, lag grows by r a frame up to one loop frame (the output holds the
// last frame it played, then follows a loop frame behind); back at rate 1 it
// shrinks by a 64th of a frame a frame down to the fraction of x (the late
// output catches up with the loop's own over 64 frames). At rate 1 with no
// lag left, loop frame and block frame are one: the direct path, untouched.
//
// A stretch of the block asks for its plan: which block frames each loop
// frame it makes is taken from, and which loop position each block frame
// plays. Everything a frame gives out follows from the clock's state before
// it and the frame's input, so every split of the same frames plays the same.
#include <cstdint>

#include "audio_driver.h"

namespace Quillomat {

class RateClock {
public:
    static constexpr uint64_t One = uint64_t(1) << 32;
    // The low-pass below rate 1 fades in and out over this many frames.
    static constexpr int FilterSteps = 64;
    // Loop frames a stretch of n block frames may make.
    static nframes_t most_made(nframes_t n) { return 4 * n + 1; }

    RateClock() = default;
    ~RateClock() { release(); }
    RateClock(const RateClock&) = delete;
    RateClock& operator=(const RateClock&) = delete;

    // Plans for stretches of up to block frames; throws std::bad_alloc.
    void reserve(nframes_t block);
    void release();
    // Direct at the position it has, with nothing waiting to be placed.
    void settle();

    // Loop frames per block frame, clamped to 1/4..4; 1 exactly is rate 1.
    void set_rate(float rate);
    uint64_t rate() const { return _r; }
    uint64_t position() const { return _x; }
    // Rate 1, nothing late and no low-pass fading out: loop frame and block
    // frame are one.
    bool direct() const { return _r == One && _lag == frac(_x) && _filter == 0 && !_in_waiting && _out_waiting == 0; }
    bool below_one() const { return _r < One; }

    // A direct stretch of n frames.
    void run_direct(nframes_t n) { _x += (uint64_t)n * One; }

    // The plan of the next n block frames (n at most the reserved block):
    // the loop frames they make, what each block frame plays and how much of
    // the low-pass it hears. Moves the clock past them.
    void plan(nframes_t n);

    // Loop frames the last plan makes. A channel's loop buffer holds the two
    // loop frames before them, then them: loop[0], loop[1] are the last two
    // frames the stretch before made (or held).
    nframes_t made() const { return _made; }
    // Rate 1 throughout the plan: the loop frames are the block frames.
    bool at_one() const { return _plan_one; }

    // The loop frames' input, interpolated from the block's; prev is the
    // block frame before in[0]. Only for plans away from rate 1.
    void to_loop(const float* in, float prev, float* loop) const;
    // What each block frame plays, from a channel's loop buffer.
    void to_block(const float* loop, float* out) const;

    // The weight of the low-pass in block frame j, 0 to FilterSteps.
    int filter_at(nframes_t j) const;
    // The filter starts with the first frame of the plan (it was off).
    bool filter_starts() const { return _filter_starts; }
    // Its weight after the last frame of the plan.
    int filter_steps() const { return _filter; }

    // Sync pulses. The block's pulses go to the loop frames nearest them,
    // never to a frame already made: loop_sync has made() frames. A pulse at
    // a loop frame is heard in the first block frame that plays within half
    // a frame of it. In plans at rate 1 the processors take the block's own
    // sync signals: pulses still waiting from a stretch away from it are
    // added to them.
    void sync_to_loop(const float* block_sync, float* loop_sync);
    void sync_to_block(const float* loop_sync, float* block_sync);
    // At rate 1: whether a pulse waits for the block frame at, and where.
    bool waiting_in(nframes_t& at) const;
    void take_waiting_in() { _in_waiting = false; }

private:
    static uint64_t frac(uint64_t x) { return x & (One - 1); }
    // Marks the block frame that hears loop frame k; false when none of this
    // plan's does.
    bool place_out(uint32_t k, float* block_sync) const;

    uint64_t _x = 0;
    uint64_t _r = One;
    uint64_t _lag = 0;
    int _filter = 0;  // the low-pass's weight after the last frame

    // The last plan.
    nframes_t _cap = 0;
    nframes_t _n = 0;
    nframes_t _made = 0;
    uint64_t _x0 = 0;  // where it started
    uint32_t _base = 0;  // the loop frame at buffer index 0
    bool _plan_one = true;
    int _filter0 = 0;
    bool _filter_starts = false;
    uint32_t* _in_at = nullptr;  // loop frame i: between block frames at-1 and at
    float* _in_w = nullptr;      // and how far
    uint64_t* _y = nullptr;      // block frame j plays loop buffer position _y[j]

    // Pulses bound for loop frames not made yet (one at most), and loop
    // frames made but not yet heard (at most two), as loop frame numbers.
    bool _in_waiting = false;
    uint32_t _in_frame = 0;
    static constexpr int MaxOutWaiting = 4;
    int _out_waiting = 0;
    uint32_t _out_frame[MaxOutWaiting] = {};
};

} // namespace Quillomat
