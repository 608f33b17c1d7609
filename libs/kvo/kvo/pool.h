#pragma once
// Fixed-size item pools for code that must not call the general allocator once
// running: every item is allocated up front and handed out and taken back
// through a lock-free free list.

#include <kvo/ringbuffer.h>

#include <cstddef>
#include <mutex>
#include <string>

// One allocating thread and one releasing thread.
class Pool {
  public:
    Pool(const std::string& name, unsigned long item_size, unsigned long nitems);
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;
    virtual ~Pool();

    // Null when every item is out; the error channel says which pool ran dry.
    virtual void* alloc();
    // ptr must be an item of this pool that is out; nothing checks it.
    virtual void release(void* ptr);

  protected:
    RingBuffer<void*>* free_list;
    std::string _name;
    char* block;
};

// Several allocating threads, one releasing thread: only alloc is locked.
class MultiAllocSingleReleasePool : public Pool {
  public:
    using Pool::Pool;

    void* alloc() override;

  private:
    std::mutex _lock;
};

// One allocating thread, several releasing threads: only release is locked.
class SingleAllocMultiReleasePool : public Pool {
  public:
    using Pool::Pool;

    void release(void* ptr) override;

  private:
    std::mutex _lock;
};
