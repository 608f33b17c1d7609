#include "TaskWrapper.h"

#include <AppKit/AppKit.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <string>

namespace {

// How long a child has to end after the terminate signal before it is
// killed, and how long after that we still wait for it; the host's main
// thread waits through both.
const double term_grace = 1.0;
const double kill_grace = 1.0;

} // namespace

TaskWrapper* TaskWrapper::initWithController(TaskWrapperController* c, NSArray* args)
{
    controller = c;
    arguments = args ? static_cast<NSArray*>(args->retain()) : nullptr;
    return this;
}

NSFileHandle* TaskWrapper::output() const
{
    NSPipe* pipe = task ? dynamic_cast<NSPipe*>(task->standardOutput()) : nullptr;
    return pipe ? pipe->fileHandleForReading() : nullptr;
}

void TaskWrapper::pass_on(NSData* data)
{
    if (!controller) {
        return;
    }
    NSString* text = NSString::alloc()->initWithData(data, NSUTF8StringEncoding);
    controller->appendOutput(text);
    if (text) {
        text->release();
    }
}

void TaskWrapper::startProcess()
{
    if (task || !controller) {
        return;
    }
    // Running before the launch, so a failure is seen to end it.
    controller->processStarted();

    NSNotificationCenter* center = NSNotificationCenter::defaultCenter();
    task = NSTask::alloc()->init();
    NSPipe* pipe = NSPipe::alloc()->init();
    const int pipe_errno = errno;
    NSFileHandle* out = nullptr;
    if (pipe) {
        task->setStandardOutput(pipe);
        task->setStandardError(pipe);
        pipe->release();
        out = output();
        center->addObserver(this, selector(&TaskWrapper::getData), NSFileHandleReadCompletionNotification, out);
        out->readInBackgroundAndNotify();
    }

    try {
        if (!pipe) {
            NSException::raise(NSInvalidArgumentException, std::string("no pipe for the output: ") + std::strerror(pipe_errno));
        }
        if (!arguments || arguments->count() == 0) {
            NSException::raise(NSInvalidArgumentException, "no launch path");
        }
        // The path runs as it stands and the arguments go as a vector: no
        // shell ever sees them. NSTask refuses anything but an executable
        // regular file.
        task->setLaunchPath(dynamic_cast<NSString*>(arguments->objectAtIndex(0)));
        NSMutableArray* rest = NSMutableArray::alloc()->init();
        for (NSUInteger i = 1; i < arguments->count(); ++i) {
            rest->addObject(arguments->objectAtIndex(i));
        }
        task->setArguments(rest);
        rest->release();
        task->launch();
    } catch (NSException* e) {
        NSRunAlertPanel(NSSTR("Error Starting GUI.  Please choose the correct application path."), NSSTR("%@"),
                        NSSTR("OK"), nullptr, nullptr, static_cast<NSObject*>(e));
        e->release();
        if (out) {
            center->removeObserver(this, NSFileHandleReadCompletionNotification, out);
            out->closeFile();
        }
        controller->processFinished();
        controller = nullptr;
    }
}

void TaskWrapper::getData(NSNotification* notification)
{
    // The controller may let go of us while we finish.
    retain();
    NSDictionary* info = notification->userInfo();
    NSData* data = info ? dynamic_cast<NSData*>(info->objectForKey(NSFileHandleNotificationDataItem)) : nullptr;
    if (data && data->length() > 0) {
        pass_on(data);
        if (NSFileHandle* handle = dynamic_cast<NSFileHandle*>(notification->object())) {
            handle->readInBackgroundAndNotify();
        }
    } else {
        // The child closed its output: it has ended.
        stopProcess();
    }
    release();
}

void TaskWrapper::stopProcess()
{
    if (!task) {
        return;
    }
    NSFileHandle* out = output();
    if (out) {
        NSNotificationCenter::defaultCenter()->removeObserver(this, NSFileHandleReadCompletionNotification, out);
    }
    task->terminate();
    drain_and_end(out);
    if (out) {
        out->closeFile();
    }
    if (controller) {
        controller->processFinished();
        controller = nullptr;
    }
}

// Reads what the child writes while it ends, so it never blocks on a full
// pipe; kills it when it ignores the terminate signal. Stops waiting once the
// child has ended and the pipe holds nothing more, even without the end of
// the stream: whatever the child started may keep the pipe open for good.
void TaskWrapper::drain_and_end(NSFileHandle* out)
{
    using clock = std::chrono::steady_clock;
    const clock::time_point start = clock::now();
    int fd = out ? out->fileDescriptor() : -1;
    bool killed = false;
    for (;;) {
        const bool running = task->isRunning();
        const double waited = std::chrono::duration<double>(clock::now() - start).count();
        if (waited >= term_grace + kill_grace) {
            break; // NSTask still reaps a child stuck even after SIGKILL
        }
        if (running && !killed && waited >= term_grace) {
            // Not reaped, since it is still running: the id is still its own.
            kill(task->processIdentifier(), SIGKILL);
            killed = true;
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, running ? 10 : 0) > 0 && p.revents) {
            NSData* data = out->availableData();
            if (data->length() == 0) {
                fd = -1; // the end of the stream; go on waiting for the child alone
            } else {
                pass_on(data);
            }
            data->release();
            continue;
        }
        if (!running) {
            break;
        }
    }
}

void TaskWrapper::dealloc()
{
    NSNotificationCenter::defaultCenter()->removeObserver(this);
    if (task && task->isRunning()) {
        stopProcess();
    }
    if (NSFileHandle* out = output()) {
        out->closeFile();
    }
    if (arguments) {
        arguments->release();
    }
    if (task) {
        task->release();
    }
    NSObject::dealloc();
}
