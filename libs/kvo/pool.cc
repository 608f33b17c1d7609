#include <kvo/pool.h>
#include <kvo/transmitter.h>

#include <vector>

Pool::Pool(const std::string& name, unsigned long item_size, unsigned long nitems)
    // One slot of a ring always stays empty: without the extra one a pool of a
    // power-of-two count could hand out one item fewer than it was built with.
    : free_list(new RingBuffer<void*>(nitems + 1)), _name(name), block(new char[nitems * item_size]) {
    std::vector<void*> items(nitems);
    for (unsigned long i = 0; i < nitems; ++i) {
        items[i] = block + i * item_size;
    }
    free_list->write(items.data(), nitems);
}

Pool::~Pool() {
    delete[] block;
    delete free_list;
}

void* Pool::alloc() {
    void* ptr;
    if (free_list->read(&ptr, 1) == 1) {
        return ptr;
    }
    // Not on the fatal channel: that one ends the process, and callers are
    // written to cope with null.
    Kvo::error << "CRITICAL: " << _name << " POOL OUT OF MEMORY - RECOMPILE WITH LARGER SIZE!!" << endmsg;
    return nullptr;
}

void Pool::release(void* ptr) { free_list->write(&ptr, 1); }

void* MultiAllocSingleReleasePool::alloc() {
    std::lock_guard<std::mutex> lm(_lock);
    return Pool::alloc();
}

void SingleAllocMultiReleasePool::release(void* ptr) {
    std::lock_guard<std::mutex> lm(_lock);
    Pool::release(ptr);
}
