#pragma once
// Lock-free queue for exactly one writer thread and one reader thread.
// Capacity is a power of two with one slot kept free, so every wrap is a mask.
// Neither side blocks or allocates after construction.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

template <class T>
class RingBuffer {
    // Elements move as raw bytes.
    static_assert(std::is_trivially_copyable<T>::value,
                  "RingBuffer elements must be plain records or pointers");

public:
    // Up to two contiguous pieces; the second starts at the storage's beginning.
    struct rw_vector {
        T* buf[2];
        size_t len[2];
    };

    explicit RingBuffer(size_t sz)
    {
        // Capped so an absurd request cannot spin forever on overflow.
        uint32_t power_of_two = 2;
        while (power_of_two < sz && power_of_two < (1u << 31)) {
            power_of_two <<= 1;
        }
        size = power_of_two;
        size_mask = size - 1;
        buf = new T[size];
        reset();
    }

    virtual ~RingBuffer() { delete[] buf; }

    RingBuffer(const RingBuffer&) = delete;
    RingBuffer& operator=(const RingBuffer&) = delete;

    // Only while neither side is active.
    void reset()
    {
        write_ptr.store(0, std::memory_order_relaxed);
        read_ptr.store(0, std::memory_order_relaxed);
    }

    size_t write_space() const
    {
        return space_to_write(write_ptr.load(std::memory_order_acquire),
                              read_ptr.load(std::memory_order_acquire));
    }

    size_t read_space() const
    {
        return space_to_read(write_ptr.load(std::memory_order_acquire),
                             read_ptr.load(std::memory_order_acquire));
    }

    // Writer side: copies as many as fit, returns that count.
    size_t write(const T* src, size_t cnt)
    {
        const uint32_t w = write_ptr.load(std::memory_order_relaxed);
        // Acquire: the reader is done with the slots it has released.
        const uint32_t r = read_ptr.load(std::memory_order_acquire);
        const size_t free_cnt = space_to_write(w, r);
        if (free_cnt == 0 || cnt == 0) {
            return 0;
        }
        const size_t n = cnt > free_cnt ? free_cnt : cnt;
        rw_vector vec;
        split(w, n, &vec);
        std::memcpy(static_cast<void*>(vec.buf[0]), src, vec.len[0] * sizeof(T));
        if (vec.len[1]) {
            std::memcpy(static_cast<void*>(vec.buf[1]), src + vec.len[0], vec.len[1] * sizeof(T));
        }
        // Release: the copied elements are visible before the new index is.
        write_ptr.store(static_cast<uint32_t>((w + n) & size_mask), std::memory_order_release);
        return n;
    }

    // Reader side: copies out as many as are there, returns that count.
    size_t read(T* dest, size_t cnt)
    {
        const uint32_t r = read_ptr.load(std::memory_order_relaxed);
        const uint32_t w = write_ptr.load(std::memory_order_acquire);
        const size_t avail = space_to_read(w, r);
        if (avail == 0 || cnt == 0) {
            return 0;
        }
        const size_t n = cnt > avail ? avail : cnt;
        rw_vector vec;
        split(r, n, &vec);
        std::memcpy(static_cast<void*>(dest), vec.buf[0], vec.len[0] * sizeof(T));
        if (vec.len[1]) {
            std::memcpy(static_cast<void*>(dest + vec.len[0]), vec.buf[1], vec.len[1] * sizeof(T));
        }
        read_ptr.store(static_cast<uint32_t>((r + n) & size_mask), std::memory_order_release);
        return n;
    }

    // Writer side: the whole free region, to be filled in place and then
    // published with increment_write_ptr.
    void get_write_vector(rw_vector* vec) const
    {
        const uint32_t w = write_ptr.load(std::memory_order_relaxed);
        const uint32_t r = read_ptr.load(std::memory_order_acquire);
        split(w, space_to_write(w, r), vec);
    }

    // Reader side: the whole readable region, to be consumed in place and then
    // released with increment_read_ptr.
    void get_read_vector(rw_vector* vec) const
    {
        const uint32_t r = read_ptr.load(std::memory_order_relaxed);
        const uint32_t w = write_ptr.load(std::memory_order_acquire);
        split(r, space_to_read(w, r), vec);
    }

    void increment_write_ptr(size_t cnt)
    {
        const uint32_t w = write_ptr.load(std::memory_order_relaxed);
        write_ptr.store(static_cast<uint32_t>((w + cnt) & size_mask), std::memory_order_release);
    }

    void increment_read_ptr(size_t cnt)
    {
        const uint32_t r = read_ptr.load(std::memory_order_relaxed);
        read_ptr.store(static_cast<uint32_t>((r + cnt) & size_mask), std::memory_order_release);
    }

protected:
    // Both indices stay below size, a power of two that divides 2^32, so the
    // unsigned differences wrap to the right count under the mask.
    size_t space_to_write(uint32_t w, uint32_t r) const { return (r - w - 1) & size_mask; }

    size_t space_to_read(uint32_t w, uint32_t r) const { return (w - r) & size_mask; }

    // count slots from index on, as the one or two pieces they take.
    void split(uint32_t index, size_t count, rw_vector* vec) const
    {
        vec->buf[0] = buf + index;
        if (index + count > size) {
            vec->len[0] = size - index;
            vec->buf[1] = buf;
            vec->len[1] = (index + count) & size_mask;
        } else {
            vec->len[0] = count;
            vec->buf[1] = nullptr;
            vec->len[1] = 0;
        }
    }

    T* buf;
    uint32_t size;
    std::atomic<uint32_t> write_ptr;
    std::atomic<uint32_t> read_ptr;
    uint32_t size_mask;
};
