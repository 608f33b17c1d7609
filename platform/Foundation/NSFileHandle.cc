#include <Foundation/Foundation.h>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

NSString* const NSFileHandleReadCompletionNotification =
    NSString::literal("NSFileHandleReadCompletionNotification");
NSString* const NSFileHandleNotificationDataItem = NSString::literal("NSFileHandleNotificationDataItem");

namespace {

const size_t read_chunk = 65536;

// Bytes read, or 0 at the end, on a closed handle or on an error.
size_t read_some(int fd, unsigned char* buf, bool wait)
{
    if (fd < 0) {
        return 0;
    }
    for (;;) {
        ssize_t n = read(fd, buf, read_chunk);
        if (n >= 0) {
            return (size_t)n;
        }
        if (errno == EINTR) {
            continue;
        }
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait) {
            pollfd p{fd, POLLIN, 0};
            poll(&p, 1, -1);
            continue;
        }
        return 0;
    }
}

} // namespace

NSFileHandle* NSFileHandle::initWithFileDescriptor(int fd, BOOL closeOnDealloc)
{
    _fd = fd;
    _closeOnDealloc = closeOnDealloc;
    return this;
}

NSData* NSFileHandle::availableData()
{
    unsigned char buf[read_chunk];
    size_t n = read_some(_fd, buf, true);
    return NSData::alloc()->initWithBytes(buf, n);
}

void NSFileHandle::readInBackgroundAndNotify()
{
    if (_fd < 0 || _readLoop) {
        return;
    }
    NSRunLoop::currentRunLoop()->addReadSource(this);
}

void NSFileHandle::completeBackgroundRead()
{
    unsigned char buf[read_chunk];
    size_t n = read_some(_fd, buf, false);
    NSData* data = NSData::alloc()->initWithBytes(buf, n);
    NSObject* object = data;
    NSObject* key = NSFileHandleNotificationDataItem;
    NSDictionary* info = NSDictionary::alloc()->initWithObjects(&object, &key, 1);
    NSNotificationCenter::defaultCenter()->postNotificationName(NSFileHandleReadCompletionNotification,
                                                                this, info);
    info->release();
    data->release();
}

void NSFileHandle::closeFile()
{
    retain();
    if (_readLoop) {
        _readLoop->cancelReadSource(this);
    }
    if (_fd >= 0) {
        close(_fd);
        _fd = -1;
    }
    release();
}

void NSFileHandle::dealloc()
{
    if (_closeOnDealloc && _fd >= 0) {
        close(_fd);
    }
    NSObject::dealloc();
}

NSPipe* NSPipe::init()
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        release();
        return nullptr;
    }
    _reading = NSFileHandle::alloc()->initWithFileDescriptor(fds[0], YES);
    _writing = NSFileHandle::alloc()->initWithFileDescriptor(fds[1], YES);
    return this;
}

void NSPipe::dealloc()
{
    if (_reading) {
        _reading->release();
    }
    if (_writing) {
        _writing->release();
    }
    NSObject::dealloc();
}
