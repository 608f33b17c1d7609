// A loop at another rate must not hear where its blocks are split: events that
// change nothing, between stretches, leave the output as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "looper.h"
#include "looper_fixture.h"

using namespace Quillomat;
using qmtest::LooperRig;

namespace {

const long kRecordEnd = 12288;  // a whole number of blocks of every size below
const long kFrames = 36864;

float input(unsigned int chan, long t) {
    const double w = 2.0 * M_PI / 48000.0;
    return (float)(0.3 * std::sin(w * 220.0 * (double)t + chan) + 0.1 * std::sin(w * 1234.0 * (double)t));
}

// Frames before which a control change that changes nothing arrives.
std::vector<long> bursts(uint32_t seed, int groups) {
    std::vector<long> at;
    for (int g = 0; g < groups; ++g) {
        seed = seed * 1664525u + 1013904223u;
        const long first = 1 + (long)(seed >> 8) % (kFrames - 4);
        for (long k = 0; k < 1 + (long)(seed & 3) % 3; ++k) at.push_back(first + k);
    }
    std::sort(at.begin(), at.end());
    at.erase(std::unique(at.begin(), at.end()), at.end());
    return at;
}

std::vector<long> every_frame(long from, long to) {
    std::vector<long> at;
    for (long t = from; t < to; ++t) at.push_back(t);
    return at;
}

// A rate of 0 stands for one that jumps about while the loop records and plays.
float rate_at(float rate, long t) {
    static const float jumps[] = {4.0f, 0.25f, 1.5f, 0.3f, 3.7f, 0.5f, 2.0f, 0.75f, 1.0f, 0.26f, 4.0f};
    return rate > 0.0f ? rate : jumps[t / 4096];
}

// Record from frame 0 to kRecordEnd at the given rate, then play; the wet
// output of channel c at frame t is out[t * chans + c].
std::vector<float> render(float rate, nframes_t block, unsigned int chans, const std::vector<long>& splits) {
    LooperRig rig(2, 48000, block);
    auto l = rig.make(0, chans, 2.0f, true);
    EXPECT_TRUE((*l)());
    LooperRig::control(*l, Event::UseCommonIns, 0.0f);
    LooperRig::control(*l, Event::DryLevel, 0.0f);
    l->run(0, 0);  // the levels land on their targets
    std::vector<float> out((size_t)kFrames * chans);
    size_t next = 0;
    for (long s = 0; s < kFrames; s += block) {
        for (unsigned int c = 0; c < chans; ++c) {
            for (nframes_t j = 0; j < block; ++j) rig.in(0, c)[j] = input(c, s + (long)j);
        }
        if (s % 4096 == 0) LooperRig::control(*l, Event::Rate, rate_at(rate, s));
        if (s == 0 || s == kRecordEnd) LooperRig::hit(*l, Event::RECORD);
        rig.begin_block();
        nframes_t done = 0;
        for (; next < splits.size() && splits[next] < s + (long)block; ++next) {
            const nframes_t at = (nframes_t)(splits[next] - s);
            l->run(done, at - done);
            LooperRig::control(*l, Event::Feedback, 1.0f);
            done = at;
        }
        l->run(done, block - done);
        for (unsigned int c = 0; c < chans; ++c) {
            for (nframes_t j = 0; j < block; ++j) out[(size_t)(s + (long)j) * chans + c] = rig.out(0, c)[j];
        }
    }
    return out;
}

double rms(const std::vector<float>& v, size_t from, size_t to) {
    double sum = 0.0;
    for (size_t i = from; i < to; ++i) sum += (double)v[i] * v[i];
    return std::sqrt(sum / (double)(to - from));
}

struct SplitCase {
    float rate;
    nframes_t block;
    unsigned int chans;
};

class LooperRateSplits : public ::testing::TestWithParam<SplitCase> {};

TEST_P(LooperRateSplits, OutputDoesNotDependOnWhereBlocksAreSplit) {
    const SplitCase k = GetParam();
    const std::vector<float> whole = render(k.rate, k.block, k.chans, {});
    // Playback of what was recorded at the same rate keeps its level.
    const size_t play = (size_t)kRecordEnd * k.chans;
    ASSERT_GT(rms(whole, play, whole.size()), 0.2);

    const std::vector<std::vector<long>> patterns = {bursts(7u + (uint32_t)k.block, 120),
                                                     every_frame(kRecordEnd - 300, kRecordEnd + 300),
                                                     every_frame(20000, 20700)};
    for (size_t p = 0; p < patterns.size(); ++p) {
        const std::vector<float> split = render(k.rate, k.block, k.chans, patterns[p]);
        double worst = 0.0;
        size_t at = 0;

        for (size_t i = 0; i < whole.size(); ++i) {
            const double d = std::fabs((double)whole[i] - split[i]);
            if (d > worst) {
                worst = d;
                at = i;
            }
        }
        EXPECT_LT(worst, 1e-4) << "pattern " << p << ": frame " << at / k.chans << " channel " << at % k.chans;
    }
}

std::vector<SplitCase> split_cases() {
    std::vector<SplitCase> cases;
    for (float rate : {0.25f, 0.5f, 0.75f, 1.0f, 1.5f, 2.0f, 3.0f, 4.0f}) {
        for (nframes_t block : {1u, 64u, 256u, 4096u}) cases.push_back({rate, block, 2});
    }
    for (float rate : {0.5f, 1.5f}) cases.push_back({rate, 256, 1});
    for (nframes_t block : {1u, 64u, 4096u}) cases.push_back({0.0f, block, 2});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(RatesBlocksAndSplits, LooperRateSplits, ::testing::ValuesIn(split_cases()),
                         [](const ::testing::TestParamInfo<SplitCase>& i) {
                             return "rate" + std::to_string((int)(i.param.rate * 100)) + "_block" +
                                    std::to_string(i.param.block) + "_" + std::to_string(i.param.chans) + "ch";
                         });

// A loop leaving rate 1 goes on from where it was: the first frames of the
// new stream are its first frame, not silence rising to it.
TEST(LooperRateStart, LeavingRateOneStartsFromTheLoopNotFromSilence) {
    for (float rate : {0.25f, 0.5f, 1.5f, 4.0f}) {
        for (nframes_t block : {1u, 256u}) {
            LooperRig rig(2, 48000, block);
            auto l = rig.make(0, 1, 2.0f, true);
            LooperRig::control(*l, Event::UseCommonIns, 0.0f);
            LooperRig::control(*l, Event::DryLevel, 0.0f);
            l->run(0, 0);
            std::fill(rig.in(0, 0), rig.in(0, 0) + block, 0.5f);
            float low = 1.0f;
            for (long s = 0; s < 6144 + 256; s += block) {
                if (s == 0 || s == 4096) LooperRig::hit(*l, Event::RECORD);
                if (s == 4096) std::fill(rig.in(0, 0), rig.in(0, 0) + block, 0.0f);
                if (s == 6144) LooperRig::control(*l, Event::Rate, rate);
                rig.begin_block();
                l->run(0, block);
                if (s >= 5120) low = std::min(low, *std::min_element(rig.out(0, 0), rig.out(0, 0) + block));
            }
            EXPECT_GT(low, 0.45f) << "rate " << rate << ", blocks of " << block;
        }
    }
}

const long kTone = 12288;  // a whole number of periods of 1 kHz

// A 1 kHz tone, and a slow one that tells its periods apart: a seamless loop.
float tone(long t) {
    const double w = 2.0 * M_PI * (double)t;
    return (float)(0.3 * std::sin(w * 1000.0 / 48000.0) + 0.01 * std::sin(w / kTone));
}

// The tone recorded at rate 1 until kTone, then played at the rates given,
// each from its frame on; the wet output.
std::vector<float> play(const std::vector<std::pair<long, float>>& rates, long frames) {
    const nframes_t block = 64;
    LooperRig rig(2, 48000, block);
    auto l = rig.make(0, 1, 2.0f, true);
    LooperRig::control(*l, Event::UseCommonIns, 0.0f);
    LooperRig::control(*l, Event::DryLevel, 0.0f);
    l->run(0, 0);
    std::vector<float> out((size_t)(frames + block));
    size_t next = 0;
    for (long s = 0; s < frames; s += block) {
        for (nframes_t j = 0; j < block; ++j) rig.in(0, 0)[j] = tone(s + (long)j);
        if (s == 0 || s == kTone) LooperRig::hit(*l, Event::RECORD);
        rig.begin_block();
        nframes_t done = 0;
        for (; next < rates.size() && rates[next].first < s + (long)block; ++next) {
            const nframes_t at = (nframes_t)(rates[next].first - s);
            if (at > done) l->run(done, at - done);
            LooperRig::control(*l, Event::Rate, rates[next].second);
            done = at;
        }
        l->run(done, block - done);
        std::copy(rig.out(0, 0), rig.out(0, 0) + block, out.begin() + s);
    }
    return out;
}

double largest_step(const std::vector<float>& v, long from, long to) {
    double worst = 0.0;
    for (long t = from; t < to; ++t) worst = std::max(worst, (double)std::fabs(v[(size_t)t] - v[(size_t)t - 1]));
    return worst;
}

class LooperRateChanges : public ::testing::TestWithParam<std::pair<float, float>> {};

// The largest step within 64 frames of a change, over the larger of the two
// rates' own largest steps, at 12 phases of the tone and of the block: back
// to rate 1 within 1.3, away from it within 1 (and a little), between others
// within 2. After trips away from rate 1, the loop has moved by what each
// ran at its rate, to 2 frames: it plays what a loop that never left rate 1
// plays that much later.
TEST_P(LooperRateChanges, StepNoFurtherThanTheRatesAndMoveTheLoopByThem) {
    const float a = GetParam().first, b = GetParam().second;
    const long stay = 1101, first = kTone + 2048, last = first + 24 * stay, end = last + 2048;
    std::vector<std::pair<long, float>> rates = {{kTone, a}};
    for (int i = 0; i < 24; ++i) rates.push_back({first + i * stay, i % 2 ? a : b});
    rates.push_back({last, 1.0f});
    const std::vector<float> out = play(rates, end), still = play({}, end);
    double worst[2] = {0.0, 0.0}, ahead = 0.0;
    for (int i = 0; i < 24; ++i) {
        const long at = first + i * stay;
        const double own = std::max(largest_step(out, at - 600, at - 100), largest_step(out, at + 300, at + 900));
        worst[i % 2] = std::max(worst[i % 2], largest_step(out, at, at + 64) / own);
    }
    const auto limit = [](float from, float to) { return to == 1.0f ? 1.3 : from == 1.0f ? 1.02 : 2.0; };
    EXPECT_LE(worst[0], limit(a, b)) << a << " -> " << b;
    EXPECT_LE(worst[1], limit(b, a)) << b << " -> " << a;
    if (b != 1.0f) return;

    for (size_t i = 0; i + 1 < rates.size(); ++i) ahead += (rates[i].second - 1.0) * (rates[i + 1].first - rates[i].first);
    long best = 0;
    double least = 1e9;
    for (long d = std::lround(ahead) - 40; d <= std::lround(ahead) + 40; ++d) {
        double diff = 0.0;
        for (long t = last + 200; t < end; ++t) diff += std::fabs(out[(size_t)t] - still[(size_t)(kTone + (t + d) % kTone)]);
        if (diff < least) least = diff, best = d;
    }
    EXPECT_NEAR((double)best, ahead, 2.0) << "trips to " << a;
}

INSTANTIATE_TEST_SUITE_P(Pairs, LooperRateChanges,
                         ::testing::Values(std::make_pair(0.5f, 1.0f), std::make_pair(0.75f, 1.0f),
                                           std::make_pair(1.5f, 1.0f), std::make_pair(2.0f, 1.0f),
                                           std::make_pair(4.0f, 1.0f), std::make_pair(0.25f, 1.0f),
                                           std::make_pair(1.008f, 1.0f), std::make_pair(1.5f, 0.5f),
                                           std::make_pair(0.5f, 0.75f), std::make_pair(0.75f, 4.0f),
                                           std::make_pair(4.0f, 1.5f)));

// Changes of rate that undo each other between two stretches change nothing.
TEST(LooperRateUndone, ChangesThatUndoEachOtherLeaveTheOutputAsItWas) {
    const long at = kTone + 3001, frames = at + 1024;
    const std::vector<float> kept = play({{kTone, 1.5f}}, frames), undone = play({{kTone, 1.5f}, {at, 0.5f}, {at, 1.5f}}, frames);
    for (long t = at; t < frames; ++t) ASSERT_EQ(kept[(size_t)t], undone[(size_t)t]) << "frame " << t;
}

// A sweep through rate 1 by a value every 32 or 64 frames, as a controller
// sends it, steps as a return to rate 1 may.
TEST(LooperRateSweep, SweepThroughRateOneStepsAsRateOne) {
    const float sweep[] = {1.016f, 1.012f, 1.008f, 1.004f, 1.0f, 0.996f, 0.992f, 0.988f};
    for (long every : {32L, 64L}) {
        std::vector<std::pair<long, float>> rates;
        for (long i = 0; i < 8; ++i) rates.push_back({kTone + 2000 + i * every, sweep[i]});
        const std::vector<float> out = play(rates, kTone + 4000);
        const double one = largest_step(out, kTone + 1000, kTone + 1900);
        EXPECT_LE(largest_step(out, kTone + 2000, kTone + 2064 + 8 * every) / one, 1.3) << "every " << every;
    }
}

} // namespace
