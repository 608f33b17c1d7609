#pragma once
#include <mutex>
#include <sys/types.h>

#include <Foundation/NSObject.h>

#pragma GCC visibility push(default)

class NSString;
class NSArray;

// A child process started with posix_spawn: the launch path is executed as it
// stands with the arguments as its argument vector (no shell, no search path).
// The child gets standard output and error as set, the host's standard input,
// default signal handling and an empty signal mask, and no other descriptor.
class NSTask : public NSObject {
public:
    static NSTask* alloc() { return new NSTask(); }
    NSTask* init() { return this; }

    void setLaunchPath(NSString* path);
    // Arguments after the executable; a copy is kept.
    void setArguments(NSArray* arguments);
    // An NSPipe (the child writes into it; the parent's copy of the writing
    // end is closed after the launch) or an NSFileHandle.
    void setStandardOutput(NSObject* pipeOrHandle);
    NSObject* standardOutput() const { return _standardOutput; }
    void setStandardError(NSObject* pipeOrHandle);

    // Raises NSInvalidArgumentException when the launch path is not an
    // executable regular file, when the child cannot be started, or when the
    // task was launched before.
    void launch();

    // SIGTERM to the child, unless it has ended already: a process that was
    // reaped is never signalled.
    void terminate();
    // Reaps the child when it has ended.
    BOOL isRunning();
    // Blocks until the child ends and reaps it.
    void waitUntilExit();

    pid_t processIdentifier() const { return _pid; }
    // Exit status, or the number of the signal that ended the child.
    int terminationStatus() const { return _status; }

protected:
    NSTask()
        : _launchPath(nullptr), _arguments(nullptr), _standardOutput(nullptr),
          _standardError(nullptr), _pid(0), _reaped(false), _status(0)
    {
    }
    void dealloc() override;

private:
    bool running_locked();

    NSString* _launchPath;
    NSArray* _arguments;
    NSObject* _standardOutput;
    NSObject* _standardError;

    std::mutex _lock;
    pid_t _pid; // 0 until launched
    bool _reaped;
    int _status;
};

#pragma GCC visibility pop
