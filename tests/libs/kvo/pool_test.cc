#include <kvo/pool.h>
#include <kvo/receiver.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

struct ErrorLog : public Receiver {
    ErrorLog() { listen_to(Kvo::error); }
    std::vector<std::string> lines;
    void receive(Transmitter::Channel, const char* text) override { lines.push_back(text); }
};

} // namespace

// Power-of-two counts are where a free list with one slot kept empty would
// lose an item. Running dry must leave the caller running, with a null.
TEST(Pool, HandsOutEveryItemThenNullWithItsMessageAndTakesItemsBack) {
    for (unsigned long n : {2ul, 8ul, 100ul}) {
        std::unique_ptr<Pool> pools[] = {std::make_unique<Pool>("voices", 24, n),
                                         std::make_unique<MultiAllocSingleReleasePool>("voices", 24, n),
                                         std::make_unique<SingleAllocMultiReleasePool>("voices", 24, n)};
        for (std::unique_ptr<Pool>& pool : pools) {
            ErrorLog log;
            std::vector<char*> items;
            while (void* p = pool->alloc()) items.push_back(static_cast<char*>(p));
            ASSERT_EQ(items.size(), n);
            for (size_t i = 0; i < n; ++i) EXPECT_EQ(items[i], items[0] + i * 24);
            EXPECT_EQ(log.lines,
                      std::vector<std::string>{"CRITICAL: voices POOL OUT OF MEMORY - RECOMPILE WITH LARGER SIZE!!"});

            pool->release(items.back());
            pool->release(items[0]);
            EXPECT_EQ(pool->alloc(), items.back());
            EXPECT_EQ(pool->alloc(), items[0]);
        }
    }
}
