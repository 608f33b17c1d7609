#include "ringbuffer.h"

#include <gtest/gtest.h>

#include "event.h"

namespace {

// Puts both indices at slot n through the public operations.
void advance(RingBuffer<int>& rb, size_t n)
{
    int scratch[64] = {};
    ASSERT_EQ(rb.write(scratch, n), n);
    ASSERT_EQ(rb.read(scratch, n), n);
}

} // namespace

TEST(RingBuffer, CapacityRules)
{
    EXPECT_EQ(RingBuffer<int>(1).write_space(), 1u);
    EXPECT_EQ(RingBuffer<int>(3).write_space(), 3u);
    EXPECT_EQ(RingBuffer<int>(16).write_space(), 15u);
    EXPECT_EQ(RingBuffer<int>(1000).write_space(), 1023u);
    EXPECT_EQ(RingBuffer<int>(1024).write_space(), 1023u);

    RingBuffer<int> rb(16);
    int v = 0;
    EXPECT_EQ(rb.read(&v, 1), 0u);
    for (v = 0; v < 15; ++v) ASSERT_EQ(rb.write(&v, 1), 1u);
    EXPECT_EQ(rb.write_space(), 0u);
    EXPECT_EQ(rb.write(&v, 1), 0u);
    EXPECT_EQ(rb.read_space(), 15u);
}

TEST(RingBuffer, WrapAroundWithPartialTransfers)
{
    RingBuffer<int> rb(8);
    advance(rb, 5);
    int in[10] = {10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
    ASSERT_EQ(rb.write(in, 6), 6u);  // write index wraps to 3, read stays at 5
    EXPECT_EQ(rb.write_space(), 1u);
    EXPECT_EQ(rb.read_space(), 6u);
    EXPECT_EQ(rb.write(in + 6, 4), 1u);  // only what fits

    int out[10] = {};
    EXPECT_EQ(rb.read(out, 4), 4u);  // across the end
    EXPECT_EQ(rb.read(out + 4, 10), 3u);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(out[i], 10 + i);
    EXPECT_EQ(rb.read_space(), 0u);
}

TEST(RingBuffer, TwoPieceVectors)
{
    RingBuffer<int> rb(8);
    advance(rb, 6);
    RingBuffer<int>::rw_vector v;
    rb.get_write_vector(&v);
    ASSERT_EQ(v.len[0], 2u);  // slots 6, 7
    ASSERT_EQ(v.len[1], 5u);  // slots 0..4; one stays free
    v.buf[0][0] = 1;
    v.buf[0][1] = 2;
    v.buf[1][0] = 3;
    rb.increment_write_ptr(3);

    rb.get_read_vector(&v);
    ASSERT_EQ(v.len[0], 2u);
    ASSERT_EQ(v.len[1], 1u);
    EXPECT_EQ(v.buf[0][1], 2);
    EXPECT_EQ(v.buf[1][0], 3);
    rb.increment_read_ptr(3);

    rb.get_write_vector(&v);  // contiguous again: one piece
    EXPECT_EQ(v.len[0], 7u);
    EXPECT_EQ(v.len[1], 0u);
}

TEST(RingBuffer, CarriesEventsWhole)
{
    Quillomat::EventGenerator gen(48000);
    RingBuffer<Quillomat::Event> rb(4);
    Quillomat::Event ev = gen.createEvent(12);
    ev.Control = Quillomat::Event::Feedback;
    ev.Instance = -2;
    ev.Value = 0.25f;
    ev.source = 9000;
    ASSERT_EQ(rb.write(&ev, 1), 1u);
    Quillomat::Event got;
    ASSERT_EQ(rb.read(&got, 1), 1u);
    EXPECT_EQ(got.Control, ev.Control);
    EXPECT_EQ(got.Instance, -2);
    EXPECT_EQ(got.Value, 0.25f);
    EXPECT_EQ(got.source, 9000);
    EXPECT_EQ(got.FragmentPos(), 12);
}
