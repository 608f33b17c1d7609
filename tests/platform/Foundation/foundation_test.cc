#include <Foundation/Foundation.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

class Listener : public NSObject {
public:
    static Listener* alloc() { return new Listener(); }

    void heard(NSNotification* n)
    {
        threads.push_back(std::this_thread::get_id());
        NSData* d = dynamic_cast<NSData*>(n->userInfo()->objectForKey(NSFileHandleNotificationDataItem));
        data.push_back(d ? std::string(static_cast<const char*>(d->bytes()), d->length()) : "?");
        if (to_remove) {
            NSNotificationCenter::defaultCenter()->removeObserver(to_remove);
        }
    }

    std::vector<std::thread::id> threads;
    std::vector<std::string> data;
    Listener* to_remove = nullptr;

protected:
    Listener() = default;
};

struct Counted : public NSObject {
    static Counted* alloc() { return new Counted(); }
    static int deallocs;
    void dealloc() override
    {
        ++deallocs;
        NSObject::dealloc();
    }
};
int Counted::deallocs = 0;

NSString* str(const char* s)
{
    return NSString::alloc()->initWithUTF8String(s);
}

// Pumps this thread's run loop once, for at most the given time.
BOOL pump(double seconds)
{
    NSDate* limit = NSDate::alloc()->initWithTimeIntervalSinceNow(seconds);
    BOOL ran = NSRunLoop::currentRunLoop()->runMode(NSDefaultRunLoopMode, limit);
    limit->release();
    return ran;
}

std::string read_bounded(NSFileHandle* h)
{
    pollfd p{h->fileDescriptor(), POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) {
        return "(nothing within 5 s)";
    }
    NSData* d = h->availableData();
    std::string s(static_cast<const char*>(d->bytes()), d->length());
    d->release();
    return s;
}

std::string formatted(NSString* format, ...)
{
    va_list ap;
    va_start(ap, format);
    NSString* s = NSString::alloc()->initWithFormat(format, ap);
    va_end(ap);
    std::string text = s->UTF8String();
    s->release();
    return text;
}

NSTask* launched(const char* path, std::vector<const char*> args, NSPipe* out)
{
    NSTask* task = NSTask::alloc()->init();
    NSString* p = str(path);
    task->setLaunchPath(p);
    p->release();
    NSMutableArray* a = NSMutableArray::alloc()->init();
    for (const char* arg : args) {
        NSString* s = str(arg);
        a->addObject(s);
        s->release();
    }
    task->setArguments(a);
    a->release();
    task->setStandardOutput(out);
    task->launch();
    return task;
}

} // namespace

TEST(RunLoop, BackgroundReadIsOneShotAndDeliveredOnlyWhenThePumpingThreadRuns)
{
    NSPipe* pipe = NSPipe::alloc()->init();
    NSFileHandle* in = pipe->fileHandleForReading();
    Listener* a = Listener::alloc();
    Listener* b = Listener::alloc();
    NSNotificationCenter* center = NSNotificationCenter::defaultCenter();
    center->addObserver(a, selector(&Listener::heard), NSFileHandleReadCompletionNotification, in);
    center->addObserver(b, selector(&Listener::heard), NSFileHandleReadCompletionNotification, nullptr);
    a->to_remove = b; // b is taken off while a is being told: b hears nothing

    in->readInBackgroundAndNotify();
    in->readInBackgroundAndNotify();
    std::thread([&] { ASSERT_EQ(write(pipe->fileHandleForWriting()->fileDescriptor(), "hello", 5), 5); }).join();
    usleep(50000);
    EXPECT_TRUE(a->data.empty());
    EXPECT_TRUE(pump(5));
    EXPECT_EQ(a->data, std::vector<std::string>{"hello"});
    EXPECT_EQ(a->threads, std::vector<std::thread::id>{std::this_thread::get_id()});
    EXPECT_TRUE(b->data.empty());
    EXPECT_FALSE(pump(0.05)); // nothing asked for: no source left

    // A closed handle drops its waiting read; the end of the stream comes as empty data.
    in->readInBackgroundAndNotify();
    in->closeFile();
    EXPECT_FALSE(pump(0.05));
    NSPipe* second = NSPipe::alloc()->init();
    center->addObserver(a, selector(&Listener::heard), NSFileHandleReadCompletionNotification,
                        second->fileHandleForReading());
    second->fileHandleForReading()->readInBackgroundAndNotify();
    second->fileHandleForWriting()->closeFile();
    EXPECT_TRUE(pump(5));
    EXPECT_EQ(a->data, (std::vector<std::string>{"hello", ""}));

    center->removeObserver(a);
    a->release();
    b->release();
    pipe->release();
    second->release();
}

TEST(Objects, LastReleaseDeallocatesAndCollectionsHoldTheirElements)
{
    Counted::deallocs = 0;
    Counted* c = Counted::alloc();
    NSMutableArray* array = NSMutableArray::alloc()->init();
    array->addObject(c);
    NSString* key = str("key");
    NSObject* objs[] = {c};
    NSObject* keys[] = {key};
    NSDictionary* dict = NSDictionary::alloc()->initWithObjects(objs, keys, 1);
    c->release();
    EXPECT_EQ(Counted::deallocs, 0);
    NSString* same = str("key");
    EXPECT_EQ(dict->objectForKey(same), c);
    EXPECT_EQ(array->objectAtIndex(0), c);
    try {
        array->objectAtIndex(1);
        ADD_FAILURE() << "no exception past the end";
    } catch (NSException* e) {
        EXPECT_TRUE(e->name()->isEqualToString(NSRangeException));
        e->release();
    }
    array->release();
    EXPECT_EQ(Counted::deallocs, 0);
    dict->release();
    EXPECT_EQ(Counted::deallocs, 1);
    same->release();
    key->release();
}

TEST(Strings, DataMustBeUtf8AndFormatsTakeObjects)
{
    struct Case {
        std::string bytes;
        bool valid;
    };
    const Case cases[] = {
        {"plain", true},         {"gr\xc3\xbc\xc3\x9f", true}, {"\xf0\x9f\x8e\xb8", true},
        {"\xc3", false},         {"\xc0\xaf", false},          {"\xed\xa0\x80", false},
        {"\xf4\x90\x80\x80", false}, {"\xff", false},
    };
    for (const Case& c : cases) {
        NSData* d = NSData::alloc()->initWithBytes(c.bytes.data(), c.bytes.size());
        NSString* s = NSString::alloc()->initWithData(d, NSUTF8StringEncoding);
        EXPECT_EQ(s != nullptr, c.valid) << c.bytes;
        if (s) {
            EXPECT_EQ(std::string(s->UTF8String()), c.bytes);
            s->release();
        }
        d->release();
    }

    NSString* reason = str("launch path not accessible");
    NSException* e = NSException::alloc()->initWithName(NSInvalidArgumentException, reason, nullptr);
    EXPECT_EQ(formatted(NSSTR("%@ (100%%) %@ %d"), static_cast<NSObject*>(e), static_cast<NSObject*>(nullptr)),
              "launch path not accessible (100%) (null) %d");
    e->release();
    reason->release();
}

TEST(Task, ChildrenEndWithTheirStatusAndAreSignalledOnlyWhileTheyRun)
{
    // Whatever the host does with the terminate signal, the child answers it.
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, nullptr);
    signal(SIGTERM, SIG_IGN);

    NSTask* sleeper = launched("/bin/sleep", {"30"}, nullptr);
    EXPECT_TRUE(sleeper->isRunning());
    sleeper->terminate();
    sleeper->waitUntilExit();
    EXPECT_FALSE(sleeper->isRunning());
    EXPECT_EQ(sleeper->terminationStatus(), SIGTERM);
    sleeper->terminate(); // reaped: nothing is sent
    try {
        sleeper->launch();
        ADD_FAILURE() << "launched twice";
    } catch (NSException* e) {
        e->release();
    }
    sleeper->release();
    signal(SIGTERM, SIG_DFL);
    pthread_sigmask(SIG_UNBLOCK, &term, nullptr);

    // The parent keeps no writing end, so the reader sees the end of the output.
    NSPipe* pipe = NSPipe::alloc()->init();
    NSTask* echo = launched("/bin/sh", {"-c", "echo \"$0\"; exit 3", "two words"}, pipe);
    EXPECT_EQ(read_bounded(pipe->fileHandleForReading()), "two words\n");
    EXPECT_EQ(read_bounded(pipe->fileHandleForReading()), "");
    echo->waitUntilExit();
    EXPECT_EQ(echo->terminationStatus(), 3);
    echo->release();
    pipe->release();
}
