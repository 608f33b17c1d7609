#include "event.h"

#include <gtest/gtest.h>

#include <climits>

using Quillomat::Event;
using Quillomat::EventGenerator;

// Block starts and stamps are binary fractions, so the arithmetic is exact.
TEST(EventGenerator, OffsetsAcrossTwoBlocks)
{
    EventGenerator gen(44100);
    gen.updateFragmentTime(512, 100.0);
    Event mid(&gen, 100.0 + 1.0 / 256);             // halfway through block one
    Event early(&gen, 100.0 - 1.0 / 512);
    gen.updateFragmentTime(512, 100.0 + 1.0 / 128);  // 65536 frames per second
    EXPECT_EQ(mid.FragmentPos(), 256);
    EXPECT_EQ(early.FragmentPos(), -128);

    gen.updateFragmentTime(512, 100.0 + 2.0 / 128);
    EXPECT_EQ(mid.FragmentPos(), 256);     // converted once
    EXPECT_EQ(early.FragmentPos(), -640);  // negative: converted again
}

TEST(EventGenerator, ExplicitOffsetsAndFirstBlock)
{
    EventGenerator gen(48000);
    Event midi = gen.createEvent(37);
    Event zero = gen.createEvent(0);  // 0 is an offset, not "now"
    Event stamped = gen.createEvent(-1);
    EXPECT_EQ(stamped.iFragmentPos, -1);
    gen.updateFragmentTime(256);
    EXPECT_EQ(midi.FragmentPos(), 37);
    EXPECT_EQ(zero.FragmentPos(), 0);
    EXPECT_EQ(stamped.FragmentPos(), 0);  // no measured rate yet
}

TEST(EventGenerator, ZeroOrNegativeIntervalIsGuarded)
{
    EventGenerator gen(48000);
    gen.updateFragmentTime(512, 50.0);
    gen.updateFragmentTime(512, 50.0);  // same microsecond: nominal rate
    EXPECT_EQ(Event(&gen, 50.5).FragmentPos(), 24000);

    gen.updateFragmentTime(512, 49.0);  // clock stepped back
    EXPECT_EQ(Event(&gen, 49.75).FragmentPos(), -12000);
    EXPECT_EQ(Event(&gen, 49.25).FragmentPos(), -36000);

    // A tiny interval gives extreme offsets, clamped rather than wrapped.
    gen.updateFragmentTime(512, 49.0 + 1e-9);
    EXPECT_EQ(Event(&gen, -1e12).FragmentPos(), INT_MIN);
    EXPECT_EQ(Event(&gen, 1e12).FragmentPos(), INT_MAX);
}

TEST(Event, DefaultsAreHarmless)
{
    Event ev;
    EXPECT_EQ(ev.source, 0);
    EXPECT_EQ(ev.Command, Event::UNKNOWN);
    EXPECT_EQ(ev.FragmentPos(), -1);  // no generator: stays unknown
}
