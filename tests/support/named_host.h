#pragma once
// The host run as a child, with host names that hang while the test says.
// The C library reads the aliases of a name without a dot from the file
// HOSTALIASES names, here a FIFO that the test holds open and never writes:
// each lookup of such a name waits on it, holding one descriptor. The child
// has a mount namespace of its own, where /etc/hosts names "gui-box.test"
// and the name server is asked on loopback, where none answers.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "file_fixture.h"
#include "local_names.h"

namespace qmtest {

class NamedHost {
public:
    // qmhost with args; in_child runs in the child right before the exec.
    explicit NamedHost(const std::vector<std::string>& args, const std::function<void()>& in_child = {})
    {
        put(_dir.path("hosts"), "127.0.0.1 localhost\n127.0.0.1 gui-box.test\n");
        put(_dir.path("resolv.conf"), "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n");
        hold();
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        const std::string err = _dir.path("stderr"), aliases = "HOSTALIASES=" + _dir.path("aliases");
        std::vector<char*> argv{const_cast<char*>(QMHOST_PATH)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            const int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 2);
            putenv(const_cast<char*>(aliases.c_str()));
            if (!keep_lookups_here(_dir.path("hosts"), _dir.path("resolv.conf"))) _exit(126);
            if (in_child) in_child();
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        _out = out[0];
        const std::string said = line();
        port = said.compare(0, 10, "OSC port: ") == 0 ? std::atoi(said.c_str() + 10) : 0;
    }
    ~NamedHost()
    {
        if (pid > 0 && !_ended) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (_out >= 0) close(_out);
        if (_held >= 0) close(_held);
    }
    NamedHost(const NamedHost&) = delete;
    NamedHost& operator=(const NamedHost&) = delete;

    // The next line the host writes, within 30 s; "" when none.
    std::string line()
    {
        std::string s;
        char c;
        pollfd p{_out, POLLIN, 0};
        while (_out >= 0 && poll(&p, 1, 30000) == 1 && read(_out, &c, 1) == 1 && c != '\n') s += c;
        return s;
    }

    // Lookups of the host waiting on the aliases.
    int hanging() const
    {
        struct stat held;
        const std::string fds = "/proc/" + std::to_string(pid) + "/fd/";
        DIR* d = opendir(fds.c_str());
        if (!d || stat(_dir.path("aliases").c_str(), &held) != 0) {
            if (d) closedir(d);
            return 0;
        }
        int n = 0;
        while (dirent* e = readdir(d)) {
            struct stat st;
            n += e->d_name[0] != '.' && stat((fds + e->d_name).c_str(), &st) == 0 && st.st_ino == held.st_ino &&
                 st.st_dev == held.st_dev;
        }
        closedir(d);
        return n;
    }
    // Waits (up to 10 s) until done() holds.
    static bool eventually(const std::function<bool()>& done)
    {
        for (int i = 0; i < 1000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return done();
    }

    // The lookups waiting go on (to the name server that is not there), and
    // those that come next do not wait, until hold.
    void release()
    {
        const std::string aliases = _dir.path("aliases");
        unlink(aliases.c_str());
        put(aliases, "");
        close(_held);
        _held = -1;
    }
    void hold()
    {
        unlink(_dir.path("aliases").c_str());
        mkfifo(_dir.path("aliases").c_str(), 0600);
        _held = open(_dir.path("aliases").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    }

    bool running() { return !_ended && !(_ended = waitpid(pid, &_status, WNOHANG) == pid); }
    // Stops the host; its exit status, or -1 when a signal ended it.
    int stop()
    {
        if (running()) {
            kill(pid, SIGTERM);
            _ended = waitpid(pid, &_status, 0) == pid;
        }
        return WIFEXITED(_status) ? WEXITSTATUS(_status) : -1;
    }
    std::string errors() const { return bytes_of(_dir.path("stderr")); }
    bool mapped(const std::string& name) const { return code_mapped(std::to_string(pid), name); }

    pid_t pid = -1;
    int port = 0;

private:
    ScratchDir _dir;
    int _out = -1, _held = -1, _status = 0;
    bool _ended = false;
};

} // namespace qmtest
