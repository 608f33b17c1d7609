// A loop played at rates other than 1 keeps its time to the frame, plays the
// same however the host splits its blocks, and never drops out or jumps
// when the rate changes: random rate scripts, random splits, a loop of music.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "looper.h"
#include "looper_fixture.h"

using namespace Quillomat;
using qmtest::LooperRig;

namespace {

const long kLoop = 4096;  // frames recorded
const float kRateHz = 48000.0f;

// Music-like and above 0, periodic in the loop's length so that the loop
// itself has no seam.
float phrase(long t) {
    const double w = 2.0 * M_PI * (double)(t % kLoop) / (double)kLoop;
    return (float)(0.5 + 0.2 * std::sin(5.0 * w) + 0.1 * std::sin(37.0 * w + 1.0) + 0.05 * std::sin(111.0 * w + 2.0));
}

uint64_t fixed(float rate) { return (uint64_t)std::ldexp((double)rate, 32); }

// Rates (and commands, as negative numbers) by the frame after the
// recording they come at; several at one frame come in turn.
using Script = std::multimap<long, float>;

struct Take {
    std::vector<float> out;         // from the end of the recording
    std::vector<long> ends;         // stretch ends
    std::vector<double> positions;  // the loop's position, in frames, after each
};

// Records kLoop frames of the phrase at rate 1, then plays `frames` more
// under the script, cut at `cuts` (frames after the recording) and every
// `block` frames.
Take render(Script script, long frames, nframes_t block, std::vector<long> cuts = {}) {
    script.emplace(-kLoop, -(float)Event::RECORD);
    script.emplace(0, -(float)Event::RECORD);
    LooperRig rig(2, (nframes_t)kRateHz, block);
    auto l = rig.make(0, 1, 1.0f, true);
    LooperRig::control(*l, Event::UseCommonIns, 0.0f);
    LooperRig::control(*l, Event::DryLevel, 0.0f);
    LooperRig::control(*l, Event::FadeSamples, 0.0f);
    l->run(0, 0);
    // A command stays on its port for one stretch, and one that comes again
    // meanwhile waits for the next: a frame each, however the block is cut.
    for (const auto& c : script) {
        cuts.push_back(c.first);
        if (c.second < 0.0f) cuts.push_back(c.first + 1);
    }
    std::sort(cuts.begin(), cuts.end());
    Take take;
    auto next = script.begin();
    size_t cut = 0;
    for (long s = -kLoop; s < frames; s += block) {
        for (nframes_t j = 0; j < block; ++j) rig.in(0, 0)[j] = phrase(s + (long)j);
        rig.begin_block();
        long done = s;
        while (done < s + (long)block) {
            for (; next != script.end() && next->first <= done; ++next) {
                if (next->second > 0.0f) {
                    LooperRig::control(*l, Event::Rate, next->second);
                } else {
                    LooperRig::hit(*l, (int)-next->second);
                }
            }
            for (; cut < cuts.size() && cuts[cut] <= done; ++cut) {
            }
            const long end = std::min(s + (long)block, cut < cuts.size() ? cuts[cut] : s + (long)block);
            l->run((nframes_t)(done - s), (nframes_t)(end - done));
            done = end;
            if (done > 0) {
                take.ends.push_back(done);
                take.positions.push_back(LooperRig::value(*l, Event::LoopPosition) * kRateHz);
            }
        }
        for (nframes_t j = 0; j < block; ++j) {
            if (s + (long)j >= 0) take.out.push_back(rig.out(0, 0)[j]);
        }
    }
    take.out.resize((size_t)frames);
    return take;
}

double largest_step(const std::vector<float>& v, long from, long to) {
    double worst = 0.0;
    for (long t = std::max(from, 1L); t < to; ++t) worst = std::max(worst, (double)std::fabs(v[t] - v[t - 1]));
    return worst;
}

Script random_script(std::mt19937& rng, long frames, bool commands) {
    static const float rates[] = {1.0f, 1.0f, 0.25f, 0.26f, 0.4f, 0.5f, 0.55f, 0.6f, 0.75f, 1.008f, 1.5f, 1.7f, 3.0f, 4.0f};
    static const long gaps[] = {1, 1, 2, 3, 5, 63, 64, 65, 100, 255, 256, 517, 1101, 4801};
    Script s;
    for (long t = 200 + (long)(rng() % 300); t < frames - 600; t += gaps[rng() % 14]) {
        s.emplace(t, rng() % 4 ? rates[rng() % 14] : std::uniform_real_distribution<float>(0.25f, 4.0f)(rng));
        if (commands && rng() % 6 == 0) s.emplace(t, -(float)(rng() % 2 ? Event::REVERSE : Event::MUTE));
    }
    s.emplace(frames - 600, 1.0f);
    return s;
}

class LooperRateScripts : public ::testing::TestWithParam<int> {};

// The loop's position after every stretch is where the exact sum of its
// rates puts it; every step stays within half again the loop's own at the
// faster of the rates around it, and no frame drops to 0; back at rate 1 it
// plays bit for bit what a loop that never left rate 1 plays at that frame
// of the loop; and blocks of 1, 7, 64, 256 and 4096 frames with random cuts
// play it bit for bit alike, also with reverses and mutes fading in between.
TEST_P(LooperRateScripts, KeepTimePlayAlikeAndNeverJump) {
    std::mt19937 rng((unsigned)GetParam());
    const long frames = 24000;
    const bool commands = GetParam() % 3 == 2;
    const Script script = random_script(rng, frames, commands);
    const Take whole = render(script, frames, 4096);

    for (nframes_t block : {1u, 7u, 64u, 256u}) {
        std::vector<long> cuts;
        for (int i = 0; i < 50; ++i) cuts.push_back(1 + (long)(rng() % (frames - 1)));
        const Take split = render(script, frames, block, cuts);
        ASSERT_EQ(0, std::memcmp(split.out.data(), whole.out.data(), frames * sizeof(float))) << "blocks of " << block;
    }
    if (commands) return;  // reverse and mute move and fade the loop their own way

    const std::vector<float> still = render({}, 2 * kLoop, 256).out;
    const double own = largest_step(still, 1, kLoop);
    std::vector<float> rate(frames, 1.0f);
    uint64_t x = 0;
    size_t e = 0;
    auto next = script.begin();
    float r = 1.0f;
    for (long t = 0; t < frames; ++t) {
        for (; next != script.end() && next->first <= t; ++next) r = next->second > 0.0f ? next->second : r;
        rate[t] = std::min(4.0f, std::max(0.25f, r));
        x += fixed(rate[t]);
        if (e < whole.ends.size() && whole.ends[e] == t + 1) {
            const double want = (double)((x >> 32) % (uint64_t)kLoop);
            double got = whole.positions[e];
            if (got - want > kLoop / 2) got -= kLoop;
            ASSERT_NEAR(got, want, 0.01) << "after frame " << t;
            ++e;
        }
        ASSERT_NE(whole.out[t], 0.0f) << "frame " << t;
        if (t >= frames - 500) {
            // Back at rate 1 it plays what a loop that never left it plays
            // at the same frame of the loop.
            ASSERT_EQ(whole.out[t], still[kLoop + ((x >> 32) - 1) % kLoop]) << "frame " << t;
        }
        if (t == 0) continue;
        const double step = std::fabs(whole.out[t] - whole.out[t - 1]);
        ASSERT_LE(step, 1.5 * own * std::max({1.0f, rate[t], rate[t - 1]})) << "frame " << t;
    }
}

INSTANTIATE_TEST_SUITE_P(Random, LooperRateScripts, ::testing::Range(0, 24));

// The loop's position after a script, in frames from where rate 1 would
// have it, when the last stretch ends.
double drift(const Script& script, long frames, nframes_t block) {
    const Take take = render(script, frames, block);
    uint64_t x = 0;
    auto next = script.begin();
    float r = 1.0f;
    for (long t = 0; t < take.ends.back(); ++t) {
        for (; next != script.end() && next->first <= t; ++next) r = next->second > 0.0f ? next->second : r;
        x += fixed(r);
    }
    double d = take.positions.back() - (double)((x >> 32) % (uint64_t)kLoop);
    return d - std::round(d / kLoop) * kLoop;
}

// Riding the rate between two values keeps the loop on the beat, and trips
// at 3 and 0.75 end on their frame, not one past it.
TEST(LooperRateTime, ChangesBetweenRatesAndTripsKeepTheLoopsTime) {
    Script toggles;
    for (int i = 0; i < 1000; ++i) toggles.emplace(200 + 517L * i, i % 2 ? 1.7f : 0.6f);
    toggles.emplace(200 + 517L * 1000, 1.0f);
    EXPECT_NEAR(drift(toggles, 200 + 517L * 1000 + 300, 256), 0.0, 0.01);

    for (float rate : {3.0f, 0.75f, 4.0f, 0.25f}) {
        Script trips;
        for (int i = 0; i < 8; ++i) {
            trips.emplace(300 + 10000L * i, rate);
            trips.emplace(300 + 10000L * i + 4404, 1.0f);
        }
        EXPECT_NEAR(drift(trips, 80500, 256), 0.0, 0.01) << "trips at " << rate;
    }
}

// After a trip that leaves half a frame over (4801 frames at 0.5), a change
// away from rate 1 on a block's last frame, and another a frame later, play
// on from the loop: no frame of silence, no jump.
TEST(LooperRateTime, LeavingRateOneAfterAFractionDropsNoFrame) {
    const double own = largest_step(render({}, kLoop, 256).out, 1, kLoop);
    for (nframes_t block : {1u, 64u, 256u}) {
        for (long at : {2 * 256L * 40 - 1, 2 * 256L * 40 + 31}) {
            for (float rate : {0.5f, 1.5f, 0.26f}) {
                const Script script = {{1000, 0.5f}, {5801, 1.0f}, {at, rate}, {at + 1, 0.4f}, {at + 700, 1.0f}};
                const Take take = render(script, at + 2000, block);
                for (long t = at - 1; t < at + 800; ++t) {
                    ASSERT_NE(take.out[t], 0.0f) << "frame " << t << ", blocks of " << block;
                    ASSERT_LE(std::fabs(take.out[t] - take.out[t - 1]), 1.5 * own * std::max(1.0f, rate))
                        << "frame " << t << ", blocks of " << block << ", rate " << rate;
                }
            }
        }
    }
}

} // namespace
