#include <Foundation/Foundation.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

// The descriptor the child is to write into, or -1 to leave it the host's.
int child_end(NSObject* stream)
{
    if (NSPipe* p = dynamic_cast<NSPipe*>(stream)) {
        return p->fileHandleForWriting()->fileDescriptor();
    }
    if (NSFileHandle* h = dynamic_cast<NSFileHandle*>(stream)) {
        return h->fileDescriptor();
    }
    return -1;
}

template <class T>
void assign(T*& slot, T* value)
{
    if (value) {
        value->retain();
    }
    if (slot) {
        slot->release();
    }
    slot = value;
}

bool executable_file(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode) && access(path, X_OK) == 0;
}

} // namespace

void NSTask::setLaunchPath(NSString* path)
{
    assign(_launchPath, path);
}

void NSTask::setArguments(NSArray* arguments)
{
    NSMutableArray* copy = nullptr;
    if (arguments) {
        copy = NSMutableArray::alloc()->init();
        for (NSUInteger i = 0; i < arguments->count(); ++i) {
            copy->addObject(arguments->objectAtIndex(i));
        }
    }
    if (_arguments) {
        _arguments->release();
    }
    _arguments = copy;
}

void NSTask::setStandardOutput(NSObject* pipeOrHandle)
{
    assign(_standardOutput, pipeOrHandle);
}

void NSTask::setStandardError(NSObject* pipeOrHandle)
{
    assign(_standardError, pipeOrHandle);
}

void NSTask::launch()
{
    {
        std::lock_guard<std::mutex> lm(_lock);
        if (_pid) {
            NSException::raise(NSInvalidArgumentException, "task already launched");
        }
    }
    if (!_launchPath) {
        NSException::raise(NSInvalidArgumentException, "launch path not set");
    }
    const std::string path = _launchPath->UTF8String();
    if (!executable_file(path.c_str())) {
        NSException::raise(NSInvalidArgumentException, "launch path not accessible: " + path);
    }

    std::vector<std::string> words{path};
    for (NSUInteger i = 0; _arguments && i < _arguments->count(); ++i) {
        words.push_back(_arguments->objectAtIndex(i)->description());
    }
    std::vector<char*> argv;
    for (std::string& w : words) {
        argv.push_back(&w[0]);
    }
    argv.push_back(nullptr);

    // Only standard input, output and error reach the child: the host's
    // sockets, files and the other ends of our pipes stay with the host.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int out = child_end(_standardOutput);
    int err = child_end(_standardError);
    if (out >= 0) {
        posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    }
    if (err >= 0) {
        posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
    }
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

    // A host that blocks or ignores signals must not pass that on: the child
    // has to answer the terminate signal.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = 0;
    int rc = posix_spawn(&pid, path.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        NSException::raise(NSInvalidArgumentException, "cannot launch " + path + ": " + std::strerror(rc));
    }
    {
        std::lock_guard<std::mutex> lm(_lock);
        _pid = pid;
    }
    // Keep no writing end here, so the reader sees the end once the child
    // (and whatever it started) has closed its output.
    for (NSObject* stream : {_standardOutput, _standardError}) {
        if (NSPipe* p = dynamic_cast<NSPipe*>(stream)) {
            p->fileHandleForWriting()->closeFile();
        }
    }
}

bool NSTask::running_locked()
{
    if (!_pid || _reaped) {
        return false;
    }
    int status = 0;
    for (;;) {
        pid_t r = waitpid(_pid, &status, WNOHANG);
        if (r == 0) {
            return true;
        }
        if (r < 0 && errno == EINTR) {
            continue;
        }
        // Reaped now, or by someone else (a host that ignores SIGCHLD).
        _reaped = true;
        if (r == _pid) {
            _status = WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status);
        }
        return false;
    }
}

BOOL NSTask::isRunning()
{
    std::lock_guard<std::mutex> lm(_lock);
    return running_locked();
}

void NSTask::terminate()
{
    std::lock_guard<std::mutex> lm(_lock);
    if (running_locked()) {
        kill(_pid, SIGTERM);
    }
}

void NSTask::waitUntilExit()
{
    std::lock_guard<std::mutex> lm(_lock);
    if (!_pid || _reaped) {
        return;
    }
    int status = 0;
    pid_t r;
    while ((r = waitpid(_pid, &status, 0)) < 0 && errno == EINTR) {
    }
    _reaped = true;
    if (r == _pid) {
        _status = WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status);
    }
}

void NSTask::dealloc()
{
    // A child that outlives its task is still reaped when it ends, so it
    // never lingers as a zombie.
    if (running_locked()) {
        pid_t pid = _pid;
        std::thread([pid] {
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    }
    for (NSObject* o : {static_cast<NSObject*>(_launchPath), static_cast<NSObject*>(_arguments),
                        _standardOutput, _standardError}) {
        if (o) {
            o->release();
        }
    }
    NSObject::dealloc();
}
