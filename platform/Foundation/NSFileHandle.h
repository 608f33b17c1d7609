#pragma once
#include <Foundation/NSObject.h>

#pragma GCC visibility push(default)

class NSString;
class NSData;
class NSRunLoop;

// Posted by the handle that read; userInfo holds the bytes read under
// NSFileHandleNotificationDataItem (empty at end of file or on a read error).
extern NSString* const NSFileHandleReadCompletionNotification;
extern NSString* const NSFileHandleNotificationDataItem;

class NSFileHandle : public NSObject {
public:
    static NSFileHandle* alloc() { return new NSFileHandle(); }
    NSFileHandle* initWithFileDescriptor(int fd, BOOL closeOnDealloc);

    // -1 once closed.
    int fileDescriptor() const { return _fd; }

    // Blocks until some bytes can be read or the end is reached (then the data
    // is empty). Returns an owned object: release it.
    NSData* availableData();

    // Reads once when data arrives and posts NSFileHandleReadCompletionNotification
    // on the calling thread, from its run loop. A second call while one read is
    // waiting changes nothing.
    void readInBackgroundAndNotify();

    // Closes the descriptor and cancels a waiting background read.
    void closeFile();

protected:
    NSFileHandle() : _fd(-1), _closeOnDealloc(false), _readLoop(nullptr) {}
    void dealloc() override;

private:
    friend class NSRunLoop;
    // Called by the run loop once the descriptor is readable.
    void completeBackgroundRead();

    int _fd;
    BOOL _closeOnDealloc;
    NSRunLoop* _readLoop; // where a background read waits, if any
};

// Both ends are close-on-exec, so no child inherits them by accident.
class NSPipe : public NSObject {
public:
    static NSPipe* alloc() { return new NSPipe(); }
    // nullptr (the object released) when no pipe can be made.
    NSPipe* init();

    NSFileHandle* fileHandleForReading() const { return _reading; }
    NSFileHandle* fileHandleForWriting() const { return _writing; }

protected:
    NSPipe() : _reading(nullptr), _writing(nullptr) {}
    void dealloc() override;

private:
    NSFileHandle* _reading;
    NSFileHandle* _writing;
};

#pragma GCC visibility pop
