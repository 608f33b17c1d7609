#include "ringbuffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>

// One writer, one reader, a million items through a small buffer: each arrives
// once and in order. The writer fills in place, the reader copies out.
TEST(RingBufferThreaded, MillionItemsInOrder)
{
    constexpr uint32_t kItems = 1000000;
    RingBuffer<uint32_t> rb(64);

    std::thread writer([&rb] {
        uint32_t next = 0;
        while (next < kItems) {
            RingBuffer<uint32_t>::rw_vector v;
            rb.get_write_vector(&v);
            size_t n = 0;
            for (int p = 0; p < 2; ++p) {
                for (size_t i = 0; i < v.len[p] && next + n < kItems; ++i, ++n) {
                    v.buf[p][i] = next + uint32_t(n);
                }
            }
            rb.increment_write_ptr(n);
            next += uint32_t(n);
        }
    });

    uint32_t expected = 0;
    uint32_t mismatches = 0;
    uint32_t buf[5];
    while (expected < kItems) {
        const size_t got = rb.read(buf, 5);
        for (size_t i = 0; i < got; ++i) mismatches += buf[i] != expected + i;
        expected += uint32_t(got);
    }
    writer.join();

    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(rb.read_space(), 0u);
}
