#include "alloc_counter.h"

#include <cstdlib>
#include <new>

namespace {
thread_local bool t_counting = false;
thread_local std::size_t t_allocations = 0;
thread_local std::size_t t_limit = (std::size_t)-1;

inline void note() {
    if (t_counting) ++t_allocations;
}

inline bool refused(std::size_t n) { return n > t_limit; }
} // namespace

extern "C" {
void* __real_malloc(std::size_t);
void* __real_calloc(std::size_t, std::size_t);
void* __real_realloc(void*, std::size_t);

void* __wrap_malloc(std::size_t n) {
    note();
    return refused(n) ? nullptr : __real_malloc(n);
}
void* __wrap_calloc(std::size_t n, std::size_t s) {
    note();
    return (s && n > t_limit / s) ? nullptr : __real_calloc(n, s);
}
void* __wrap_realloc(void* p, std::size_t n) {
    note();
    return refused(n) ? nullptr : __real_realloc(p, n);
}
}

void* operator new(std::size_t n) {
    note();
    if (!refused(n)) {
        if (void* p = __real_malloc(n ? n : 1)) return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    note();
    return refused(n) ? nullptr : __real_malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace qmtest {

AllocationCounter::AllocationCounter() : _start(t_allocations), _was_counting(t_counting) {
    t_counting = true;
}

AllocationCounter::~AllocationCounter() { t_counting = _was_counting; }

std::size_t AllocationCounter::count() const { return t_allocations - _start; }

AllocationLimit::AllocationLimit(std::size_t bytes) : _old(t_limit) { t_limit = bytes; }

AllocationLimit::~AllocationLimit() { t_limit = _old; }

} // namespace qmtest
