#include "utils.h"
#include "dsp.h"

#include <gtest/gtest.h>

#include <langinfo.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

using Quillomat::f_clamp;
using Quillomat::f_max;
using Quillomat::flush_to_zero;

TEST(FloatHelpers, FlushToZero)
{
    EXPECT_EQ(flush_to_zero(1e-35f), 0.0f);
    EXPECT_EQ(flush_to_zero(1e-30f), 1e-30f);
    EXPECT_FALSE(std::signbit(flush_to_zero(-1e-38f)));  // +0.0, not -0.0
    EXPECT_EQ(flush_to_zero(std::ldexp(1.0f, -111)), std::ldexp(1.0f, -111));
    EXPECT_EQ(flush_to_zero(std::ldexp(1.0f, -112)), 0.0f);
    EXPECT_EQ(flush_to_zero(-0.5f), -0.5f);
    EXPECT_TRUE(std::isnan(flush_to_zero(std::numeric_limits<float>::quiet_NaN())));
}

TEST(FloatHelpers, MaxAndClamp)
{
    EXPECT_EQ(f_max(-1.0f, -2.0f), -1.0f);
    EXPECT_EQ(f_max(-2.0f, -1.0f), -1.0f);
    EXPECT_EQ(f_max(3.0f, 3.0f), 3.0f);
    EXPECT_EQ(f_clamp(25.0f, 0.0f, 20.0f), 20.0f);
    EXPECT_EQ(f_clamp(-1.0f, 0.0f, 20.0f), 0.0f);
    EXPECT_EQ(f_clamp(7.5f, 0.0f, 20.0f), 7.5f);
}

TEST(FloatHelpers, AbsPeakPassesNaNOver)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    // Blocks of 4 and more go through the four-lane loop, the rest through
    // the tail; a NaN in either place must not win.
    struct Case {
        std::vector<float> block;
        float floor;
        float peak;
    } cases[] = {
        {{}, 0.0f, 0.0f},
        {{}, 0.5f, 0.5f},
        {{nan}, 0.0f, 0.0f},
        {{nan, nan, nan, nan, nan}, 0.25f, 0.25f},
        {{0.1f, nan, -0.7f, 0.2f}, 0.0f, 0.7f},
        {{0.1f, 0.2f, 0.3f, 0.4f, nan, -0.9f}, 0.0f, 0.9f},
        {{-nan, 0.3f, -0.0f}, 0.0f, 0.3f},
        {{-inf, nan, 0.5f, 0.5f}, 0.0f, inf},
        {{0.5f, 0.5f, 0.5f, 0.5f, 0.5f, inf}, 0.0f, inf},
        {{-0.2f, 0.1f, -0.3f, 0.1f, -0.4f}, 1.0f, 1.0f},
        {{-3.0f, 2.0f, -1.0f, 0.5f, -2.5f, 1.5f, -0.5f}, 0.0f, 3.0f},
    };
    for (const Case& c : cases) {
        const float p = Quillomat::dsp::abs_peak(c.block.data(), (uint32_t)c.block.size(), c.floor);
        EXPECT_EQ(p, c.peak) << c.block.size() << " samples, floor " << c.floor;
    }
}

namespace {

std::string format(double v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", v);
    return buf;
}

locale_t comma_decimal_locale()
{
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "fr_FR", "nl_NL.UTF-8"}) {
        locale_t loc = newlocale(LC_NUMERIC_MASK, name, (locale_t)0);
        if (loc != (locale_t)0 && std::strcmp(nl_langinfo_l(RADIXCHAR, loc), ",") == 0) return loc;
        if (loc != (locale_t)0) freelocale(loc);
    }
    return (locale_t)0;
}

} // namespace

TEST(LocaleGuard, FullStopInsideThreadLocaleRestoredAfter)
{
    locale_t comma = comma_decimal_locale();
    if (comma == (locale_t)0) GTEST_SKIP() << "no comma-decimal locale installed";
    const std::string global_before = std::setlocale(LC_NUMERIC, nullptr);
    locale_t prev = uselocale(comma);
    ASSERT_EQ(format(1.5), "1,50");
    {
        LocaleGuard outer("POSIX");
        EXPECT_EQ(format(1.5), "1.50");
        { LocaleGuard inner("POSIX"); }
        EXPECT_EQ(format(0.5), "0.50");  // the inner guard restored the outer's
        EXPECT_EQ(std::setlocale(LC_NUMERIC, nullptr), global_before);  // process untouched
    }
    EXPECT_EQ(format(1.5), "1,50");
    EXPECT_EQ(uselocale((locale_t)0), comma);
    uselocale(prev);
    freelocale(comma);
}

TEST(LocaleGuard, BackToGlobalLocaleAndBadNameIsHarmless)
{
    locale_t before = uselocale((locale_t)0);
    {
        LocaleGuard g("POSIX");
        EXPECT_EQ(format(3.25), "3.25");
    }
    EXPECT_EQ(uselocale((locale_t)0), before);
    {
        LocaleGuard bad("no_SUCH.locale");
        EXPECT_EQ(uselocale((locale_t)0), before);
    }
    EXPECT_EQ(uselocale((locale_t)0), before);
}
