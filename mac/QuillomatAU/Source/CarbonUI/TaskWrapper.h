#pragma once
#include <Foundation/Foundation.h>

// What a TaskWrapper reports to.
class TaskWrapperController {
public:
    // output is nullptr for bytes that are not UTF-8 text.
    virtual void appendOutput(NSString* output) = 0;
    virtual void processStarted() = 0;
    virtual void processFinished() = 0;

protected:
    virtual ~TaskWrapperController() = default;
};

// One child process whose standard output and error come back through a
// pipe, read on the run loop of the thread that started it.
class TaskWrapper : public NSObject {
public:
    static TaskWrapper* alloc() { return new TaskWrapper(); }
    // arguments: the executable's path first, then its arguments. The
    // controller is not retained.
    TaskWrapper* initWithController(TaskWrapperController* controller, NSArray* arguments);

    void startProcess();
    // Asks the child to end, kills it if it has not within a second, and
    // reads what it left in the pipe; never waits for more than about two
    // seconds in all.
    void stopProcess();
    // Read completion of the child's output.
    void getData(NSNotification* notification);

protected:
    TaskWrapper() : task(nullptr), controller(nullptr), arguments(nullptr) {}
    void dealloc() override;

private:
    NSFileHandle* output() const;
    void pass_on(NSData* data);
    void drain_and_end(NSFileHandle* out);

    NSTask* task;
    TaskWrapperController* controller;
    NSArray* arguments;
};
