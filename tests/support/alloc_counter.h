#pragma once
// Counts heap allocations made on the calling thread while a counter is alive,
// so a test can prove that an audio-path call allocates nothing.
#include <cstddef>

namespace qmtest {

class AllocationCounter {
public:
    AllocationCounter();
    ~AllocationCounter();
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;

    std::size_t count() const;

private:
    std::size_t _start;
    bool _was_counting;
};

// Makes every allocation of more than `bytes` on the calling thread fail
// while it is alive (new throws, malloc returns null), so a test can prove
// that a call never sizes a buffer by what its input claims and that it
// survives a refused allocation.
class AllocationLimit {
public:
    explicit AllocationLimit(std::size_t bytes);
    ~AllocationLimit();
    AllocationLimit(const AllocationLimit&) = delete;
    AllocationLimit& operator=(const AllocationLimit&) = delete;

private:
    std::size_t _old;
};

} // namespace qmtest
