#include "onepole_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using Quillomat::OnePoleFilter;

namespace {

// The first two outputs of an impulse are cur and cur * last.
void coefficients(OnePoleFilter& f, float& cur, float& last)
{
    float buf[2] = {1.0f, 0.0f};
    f.run_lowpass(buf, 2);
    cur = buf[0];
    last = buf[1] / buf[0];
    std::vector<float> silence(20000, 0.0f);  // back to a memory of exactly 0
    f.run_lowpass(silence.data(), uint32_t(silence.size()));
}

} // namespace

TEST(OnePoleFilter, CutoffSetsCoefficients)
{
    OnePoleFilter f(48000.0f);
    f.set_cutoff(1000.0f);
    float cur, last;
    coefficients(f, cur, last);
    const float c = 2.0f - std::cos(6.2831855f / 48000.0f * 1000.0f);
    EXPECT_FLOAT_EQ(last, c - std::sqrt(c * c - 1.0f));
    EXPECT_FLOAT_EQ(cur, 1.0f - last);

    f.set_cutoff(24000.0f);  // exactly half the rate still filters
    coefficients(f, cur, last);
    EXPECT_NEAR(last, 3.0f - std::sqrt(8.0f), 1e-6);

    // A decayed tail is not carried on as a denormal.
    float next = 0.0f;
    f.run_lowpass(&next, 1);
    EXPECT_EQ(next, 0.0f);
}

TEST(OnePoleFilter, DcConverges)
{
    OnePoleFilter f(44100.0f);
    f.set_cutoff(500.0f);
    std::vector<float> buf(4096, 0.8f);
    f.run_lowpass(buf.data(), uint32_t(buf.size()));
    for (size_t i = 1; i < buf.size(); ++i) ASSERT_GE(buf[i], buf[i - 1]);  // no overshoot
    EXPECT_NEAR(buf.back(), 0.8f, 1e-4);
}

TEST(OnePoleFilter, SilentWithoutCutoffAndPassesAboveHalfRate)
{
    OnePoleFilter f(48000.0f);
    float x[2] = {0.3f, -0.7f};
    f.run_lowpass(x, 2);
    EXPECT_EQ(x[1], 0.0f);

    f.set_cutoff(30000.0f);
    float y[2] = {0.3f, -0.7f};
    f.run_lowpass(y, 2);
    EXPECT_EQ(y[0], 0.3f);
    EXPECT_EQ(y[1], -0.7f);
    f.run_highpass(y, 2);  // a no-op
    EXPECT_EQ(y[1], -0.7f);
}

TEST(OnePoleFilter, RecomputesOnlyOnCutoffChange)
{
    OnePoleFilter f(48000.0f);
    f.set_cutoff(1000.0f);
    float cur1, last1, cur2, last2;
    coefficients(f, cur1, last1);
    f.set_samplerate(96000.0f);  // a new rate alone, or the same cutoff, changes nothing
    f.set_cutoff(1000.0f);
    coefficients(f, cur2, last2);
    EXPECT_EQ(cur2, cur1);

    f.set_cutoff(3000.0f);
    f.run_lowpass(nullptr, 0);  // a zero-frame run picks the change up, at the new rate
    OnePoleFilter ref(96000.0f);
    ref.set_cutoff(3000.0f);
    float ref_cur, ref_last;
    coefficients(f, cur2, last2);
    coefficients(ref, ref_cur, ref_last);
    EXPECT_EQ(cur2, ref_cur);
    EXPECT_NE(cur2, cur1);
}
