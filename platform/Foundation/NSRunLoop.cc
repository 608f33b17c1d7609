#include <Foundation/Foundation.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <poll.h>

NSString* const NSDefaultRunLoopMode = NSString::literal("NSDefaultRunLoopMode");

// Owns the calling thread's run loop and ends it with the thread.
struct RunLoopHolder {
    NSRunLoop* loop = nullptr;
    ~RunLoopHolder() { delete loop; }
};

NSRunLoop* NSRunLoop::currentRunLoop()
{
    static thread_local RunLoopHolder holder;
    if (!holder.loop) {
        holder.loop = new NSRunLoop();
        holder.loop->makeImmortal();
    }
    return holder.loop;
}

NSRunLoop::~NSRunLoop()
{
    for (Source& s : _sources) {
        s.handle->_readLoop = nullptr;
        s.handle->release();
    }
}

void NSRunLoop::addReadSource(NSFileHandle* handle)
{
    handle->retain();
    handle->_readLoop = this;
    _sources.push_back(Source{_next_id++, handle});
}

void NSRunLoop::cancelReadSource(NSFileHandle* handle)
{
    auto it = std::find_if(_sources.begin(), _sources.end(),
                           [handle](const Source& s) { return s.handle == handle; });
    if (it == _sources.end()) {
        return;
    }
    _sources.erase(it);
    handle->_readLoop = nullptr;
    handle->release();
}

BOOL NSRunLoop::runMode(NSString*, NSDate* limitDate)
{
    if (_sources.empty()) {
        return NO;
    }
    std::vector<pollfd> fds;
    std::vector<uint64_t> ids;
    for (;;) {
        int timeout = -1;
        if (limitDate) {
            double left_ms = std::ceil(limitDate->timeIntervalSinceNow() * 1000.0);
            timeout = left_ms <= 0 ? 0 : (int)std::min(left_ms, 1e9);
        }
        fds.clear();
        ids.clear();
        for (const Source& s : _sources) {
            fds.push_back(pollfd{s.handle->fileDescriptor(), POLLIN, 0});
            ids.push_back(s.id);
        }
        int ready = poll(fds.data(), fds.size(), timeout);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return YES;
        }
        break;
    }
    // One shot each: a handler that wants more asks for the next read, and
    // may cancel sources that were ready too.
    for (size_t i = 0; i < fds.size(); ++i) {
        if (!fds[i].revents) {
            continue;
        }
        auto it = std::find_if(_sources.begin(), _sources.end(),
                               [&](const Source& s) { return s.id == ids[i]; });
        if (it == _sources.end()) {
            continue;
        }
        NSFileHandle* handle = it->handle;
        _sources.erase(it);
        handle->_readLoop = nullptr;
        handle->completeBackgroundRead();
        handle->release();
    }
    return YES;
}
