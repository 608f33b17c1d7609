#pragma once
// A scratch directory for tests of files named from outside, a file's bytes
// read and written whole, a lock held by another process, and a guard for
// calls that must not block on a named pipe: a call that does is let go by a
// writer, so the test fails instead of hanging.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <set>
#include <sstream>
#include <string>
#include <thread>

namespace qmtest {

struct ScratchDir {
    std::string dir;

    ScratchDir()
    {
        char tmpl[] = "/tmp/qm_files_XXXXXX";
        dir = mkdtemp(tmpl) ? tmpl : "";
    }
    ~ScratchDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }
    // A named pipe that nobody writes.
    std::string fifo(const std::string& name) const
    {
        const std::string p = path(name);
        mkfifo(p.c_str(), 0600);
        return p;
    }
    // The names in the directory, or in one below it.
    std::set<std::string> entries(const std::string& sub = "") const
    {
        std::set<std::string> out;
        for (const auto& e : std::filesystem::directory_iterator(sub.empty() ? dir : path(sub)))
            out.insert(e.path().filename().string());
        return out;
    }
};

// The bytes of a file; empty when it cannot be read.
inline std::string bytes_of(const std::string& path)
{
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

// Whether the process (a pid, or "self") has code of a file whose path holds
// name mapped. Other mappings do not count: ThreadSanitizer's symbolizer
// keeps reading an unloaded library's debug sections.
inline bool code_mapped(const std::string& process, const std::string& name)
{
    std::istringstream maps(bytes_of("/proc/" + process + "/maps"));
    std::string line;
    while (std::getline(maps, line)) {
        const size_t perms = line.find(' ') + 1;
        if (line.find(name) != std::string::npos && line.size() > perms + 2 && line[perms + 2] == 'x') return true;
    }
    return false;
}

// The file made or emptied, then holding `text`.
inline void put(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// While alive, files of this process cannot grow past `bytes`: a write
// beyond fails as on a full disk, instead of raising SIGXFSZ.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &_old);
        _handler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = _old;
        small.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &small);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &_old);
        std::signal(SIGXFSZ, _handler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit _old;
    void (*_handler)(int);
};

// A lock of one kind on the whole of a file, held by a child process while
// this lives (the process's own POSIX locks would go with the first of its
// descriptors of the file it closes). Kinds: "flock shared", "flock
// exclusive", "fcntl read", "fcntl write", "lockf", "ofd read", "ofd write".
// Holders end in the reverse order of their making: a later child keeps an
// earlier one's pipe open.
class LockHolder {
public:
    LockHolder(const std::string& path, const std::string& kind)
    {
        int ready[2];
        if (pipe(ready) != 0 || pipe(_release) != 0) return;
        if ((_pid = fork()) == 0) {
            const bool writes = kind == "fcntl write" || kind == "lockf" || kind == "ofd write";
            const int fd = open(path.c_str(), writes ? O_WRONLY : O_RDONLY);
            struct flock whole = {};
            whole.l_type = writes ? F_WRLCK : F_RDLCK;
            bool got;
            if (kind.compare(0, 5, "flock") == 0) {
                got = flock(fd, kind == "flock shared" ? LOCK_SH : LOCK_EX) == 0;
            } else if (kind == "lockf") {
                got = lockf(fd, F_TLOCK, 0) == 0;
            } else {
                got = fcntl(fd, kind[0] == 'o' ? F_OFD_SETLK : F_SETLK, &whole) == 0;
            }
            char c = got ? 'y' : 'n';
            close(_release[1]);
            _exit(write(ready[1], &c, 1) == 1 && read(_release[0], &c, 1) == 0 ? 0 : 1);
        }
        close(ready[1]);
        char c = 'n';
        held = _pid > 0 && read(ready[0], &c, 1) == 1 && c == 'y';
        close(ready[0]);
    }
    ~LockHolder()
    {
        close(_release[1]);
        close(_release[0]);
        if (_pid > 0) waitpid(_pid, nullptr, 0);
    }
    bool held = false;

private:
    pid_t _pid = -1;
    int _release[2] = {-1, -1};
};

// Opens and closes the pipe's writing end until `done` holds: a reader
// blocked on the pipe then sees its end.
inline void release_readers(const std::string& fifo, const std::function<bool()>& done, int ms = 10000)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done() && std::chrono::steady_clock::now() < until) {
        const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Whether `call` came back within the time, on a thread of its own.
inline bool returns_within(const std::function<void()>& call, const std::string& fifo, int ms = 5000)
{
    std::packaged_task<void()> task(call);
    std::future<void> finished = task.get_future();
    std::thread runner(std::move(task));
    const bool prompt = finished.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
    auto ready = [&] { return finished.wait_for(std::chrono::seconds(0)) == std::future_status::ready; };
    release_readers(fifo, ready);
    if (ready()) {
        runner.join();
    } else {
        runner.detach();  // stuck for good: the test has failed, let it end
    }
    return prompt;
}

} // namespace qmtest
