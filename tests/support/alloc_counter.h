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

} // namespace qmtest
