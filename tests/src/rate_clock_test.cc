// The loop's clock against an exact reference in whole numbers, over random
// rate scripts cut into stretches every which way, with a wire for the loop:
// loop frames are the block's input interpolated where the loop reached them,
// and what a block frame plays is those interpolated where it reads.
#include "rate_clock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <vector>

using Quillomat::nframes_t;
using Quillomat::RateClock;

namespace {

const uint64_t One = RateClock::One;
const long kFrames = 6000;

uint64_t fixed(float rate) { return (uint64_t)std::ldexp((double)rate, 32); }

// Rates by the frame they start at; several at one frame run in turn, with
// no frame between them.
using Script = std::multimap<long, float>;

Script random_script(std::mt19937& rng) {
    static const float rates[] = {1.0f, 1.0f, 0.25f, 0.26f, 0.4f, 0.5f, 0.6f, 0.75f, 1.008f, 1.5f, 1.7f, 3.0f, 4.0f};
    static const long gaps[] = {1, 1, 2, 3, 4, 5, 63, 64, 65, 100, 317, 517, 4801};
    Script s;
    for (long t = 1 + (long)(rng() % 300); t < kFrames; t += gaps[rng() % 13]) {
        const float r = rng() % 4 ? rates[rng() % 13] : std::uniform_real_distribution<float>(0.25f, 4.0f)(rng);
        if (rng() % 8 == 0) s.emplace(t, 2.0f);  // undone before a frame runs
        s.emplace(t, r);
    }
    return s;
}

// Stretch ends: every `block` frames, every script change, and random cuts.
std::vector<long> cuts_of(const Script& s, long block, std::mt19937& rng, int random_cuts) {
    std::vector<long> at;
    for (long t = block; t < kFrames; t += block) at.push_back(t);
    for (const auto& c : s) at.push_back(c.first);
    for (int i = 0; i < random_cuts; ++i) at.push_back(1 + (long)(rng() % (kFrames - 1)));
    at.push_back(kFrames);
    std::sort(at.begin(), at.end());
    at.erase(std::unique(at.begin(), at.end()), at.end());
    return at;
}

// The block's input is its frame number (exact in a float), sync pulses every
// 37 frames; the loop is a wire.
struct Rendered {
    std::vector<float> out, sync_out;
    std::vector<uint64_t> x;  // after each block frame
    long pulses_in = 0;
};

Rendered render(const Script& script, const std::vector<long>& cuts) {
    RateClock clock;
    clock.reserve(4096);
    std::vector<float> in(4096), loop(RateClock::most_made(4096) + 2, 0.0f), loop_sync(RateClock::most_made(4096));
    std::vector<float> sync(4096);
    float prev = 0.0f;
    Rendered r;
    r.out.assign(kFrames, 0.0f);
    r.sync_out.assign(kFrames, 0.0f);
    auto next = script.begin();
    long t = 0;
    for (long end : cuts) {
        for (; next != script.end() && next->first <= t; ++next) clock.set_rate(next->second);
        const nframes_t n = (nframes_t)(end - t);
        for (nframes_t j = 0; j < n; ++j) {
            in[j] = (float)(t + (long)j);
            sync[j] = (t + (long)j) % 37 == 5 ? 1.0f : 0.0f;
            r.pulses_in += sync[j] != 0.0f;
        }
        float* out = &r.out[(size_t)t];
        float* sync_out = &r.sync_out[(size_t)t];
        if (clock.direct()) {
            for (nframes_t j = 0; j < n; ++j) out[j] = in[j], sync_out[j] = sync[j];
            if (n > 1) loop[0] = in[n - 2];
            if (n > 0) loop[1] = in[n - 1], prev = in[n - 1];
            clock.run_direct(n);
            for (nframes_t j = 0; j < n; ++j) r.x.push_back(clock.position() - (uint64_t)(n - 1 - j) * One);
            t = end;
            continue;
        }
        const uint64_t x0 = clock.position(), rate = clock.rate();
        clock.plan(n);
        const nframes_t m = clock.made();
        if (clock.at_one()) {
            std::copy(in.begin(), in.begin() + n, loop.begin() + 2);
            std::copy(sync.begin(), sync.begin() + n, sync_out);
            nframes_t at;
            if (clock.waiting_in(at)) {
                sync_out[at] = 1.0f;
                clock.take_waiting_in();
            }
            clock.sync_to_block(nullptr, sync_out);
        } else {
            clock.to_loop(in.data(), prev, loop.data() + 2);
            clock.sync_to_loop(sync.data(), loop_sync.data());
            clock.sync_to_block(loop_sync.data(), sync_out);
        }
        if (n > 0) prev = in[n - 1];
        clock.to_block(loop.data(), out);
        std::memmove(loop.data(), loop.data() + m, 2 * sizeof(float));
        for (nframes_t j = 0; j < n; ++j) r.x.push_back(x0 + (uint64_t)(j + 1) * rate);
        t = end;
    }
    return r;
}

// The exact reference: position and lag after each frame, from whole numbers.
struct Reference {
    std::vector<uint64_t> x, lag, rate;
    // When loop frame k was made, in block frames (a rational, as a double).
    std::map<uint64_t, double> made_at;
};

Reference reference(const Script& script) {
    Reference ref;
    uint64_t x = 0, lag = 0, r = One;
    auto next = script.begin();
    for (long t = 0; t < kFrames; ++t) {
        for (; next != script.end() && next->first <= t; ++next) r = fixed(next->second);
        for (uint64_t k = (x >> 32) + 1; k <= (x + r) >> 32; ++k) {
            ref.made_at[k] = r == One ? (double)t : (double)(t - 1) + (double)(k * One - x) / (double)r;
        }
        x += r;
        const uint64_t phi = x & (One - 1);
        lag = r == One ? std::max(phi, lag >= One / 64 ? lag - One / 64 : 0) : std::min(lag + r, One);
        ref.x.push_back(x);
        ref.lag.push_back(lag);
        ref.rate.push_back(r);
    }
    return ref;
}

class RateClockScripts : public ::testing::TestWithParam<int> {};

TEST_P(RateClockScripts, KeepsExactTimeAndPlaysTheSameWhateverTheSplit) {
    std::mt19937 rng((unsigned)GetParam());
    const Script script = random_script(rng);
    const Reference ref = reference(script);
    const Rendered whole = render(script, cuts_of(script, 4096, rng, 0));

    // The position is the exact sum of the rates, frame by frame.
    ASSERT_EQ(whole.x.size(), (size_t)kFrames);
    for (long t = 0; t < kFrames; ++t) ASSERT_EQ(whole.x[(size_t)t], ref.x[(size_t)t]) << "frame " << t;

    long hold = 0, fade = 0, worst_hold = 0, worst_fade = 0;
    double last_y = -1.0;
    for (long t = 0; t < kFrames; ++t) {
        const uint64_t x = ref.x[(size_t)t], y = x - ref.lag[(size_t)t], r = ref.rate[(size_t)t];
        // It reads only frames made, and no more than a loop frame back.
        ASSERT_LE(y, (x >> 32) << 32) << "frame " << t;
        ASSERT_GE(y + One, x) << "frame " << t;
        const double yd = std::ldexp((double)y, -32);
        ASSERT_GE(yd, last_y) << "frame " << t << ": the read head went back";
        last_y = yd;
        hold = r != One && ref.lag[(size_t)t] != One ? hold + 1 : 0;
        fade = r == One && ref.lag[(size_t)t] != (x & (One - 1)) ? fade + 1 : 0;
        worst_hold = std::max(worst_hold, hold);
        worst_fade = std::max(worst_fade, fade);
        if (hold > 0) {
            ASSERT_LT((double)hold, 1.0 / std::ldexp((double)r, -32) + 1.0) << "frame " << t;
        }

        // What it plays is the input where the loop was when it reached y.
        const uint64_t k = y >> 32;
        const double w = std::ldexp((double)(uint32_t)y, -32);
        const auto a = ref.made_at.find(k), b = ref.made_at.find(k + 1);
        if (a == ref.made_at.end() || (w > 0.0 && b == ref.made_at.end())) continue;  // before the first frame
        const double want = w > 0.0 ? a->second + w * (b->second - a->second) : a->second;
        ASSERT_NEAR(whole.out[(size_t)t], want, 2e-3 * (1.0 + want)) << "frame " << t;
        if (t > 8) {
            ASSERT_NE(whole.out[(size_t)t], 0.0f) << "frame " << t;
        }
    }
    EXPECT_LE(worst_fade, 64);

    // Every pulse in comes out once, within a frame of where its audio plays.
    long pulses_out = 0;
    for (float p : whole.sync_out) pulses_out += p != 0.0f;
    EXPECT_NEAR((double)pulses_out, (double)whole.pulses_in, 1.0);

    for (long block : {1L, 7L, 64L, 256L}) {
        const Rendered split = render(script, cuts_of(script, block, rng, 40));
        ASSERT_EQ(0, std::memcmp(split.out.data(), whole.out.data(), kFrames * sizeof(float))) << "blocks of " << block;
        ASSERT_EQ(split.sync_out, whole.sync_out) << "blocks of " << block;
        ASSERT_EQ(split.x, whole.x) << "blocks of " << block;
    }
}

INSTANTIATE_TEST_SUITE_P(Random, RateClockScripts, ::testing::Range(0, 60));

} // namespace
