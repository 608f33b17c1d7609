#include <kvo/pool.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>

// Items taken on one thread, handed across a pointer ring and given back on
// another, many times round a small pool. Each item carries its sequence
// number, so a pointer seen twice, early or torn shows up.
TEST(PointerRingThreaded, ItemsCrossThreadsIntactAndInOrder) {
    constexpr uint32_t kItems = 200000;
    Pool pool("crossing", sizeof(uint32_t), 16);
    RingBuffer<void*> ring(8);

    std::thread producer([&] {
        for (uint32_t next = 0; next < kItems;) {
            void* item = pool.alloc();
            if (!item) {
                std::this_thread::yield();
                continue;
            }
            *static_cast<uint32_t*>(item) = next++;
            while (ring.write(&item, 1) == 0) std::this_thread::yield();
        }
    });

    uint32_t mismatches = 0;
    for (uint32_t expected = 0; expected < kItems;) {
        void* got[4];
        const size_t n = ring.read(got, 4);
        for (size_t i = 0; i < n; ++i, ++expected) {
            mismatches += *static_cast<uint32_t*>(got[i]) != expected;
            pool.release(got[i]);
        }
    }
    producer.join();
    EXPECT_EQ(mismatches, 0u);
}
