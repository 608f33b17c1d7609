#include "file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace Kvo {

namespace {

// False only when another holds it; a file system without such locks is
// read and written all the same.
bool flock_now(int fd, int how)
{
    int got;
    do {
        got = flock(fd, how | LOCK_NB);
    } while (got != 0 && errno == EINTR);
    return got == 0 || errno != EWOULDBLOCK;
}

bool fcntl_now(int fd, short type)
{
#ifdef F_OFD_SETLK
    struct flock whole = {};
    whole.l_type = type;
    whole.l_whence = SEEK_SET;
    int got;
    do {
        got = fcntl(fd, F_OFD_SETLK, &whole);
    } while (got != 0 && errno == EINTR);
    return got == 0 || (errno != EAGAIN && errno != EACCES);
#else
    (void)fd;
    (void)type;
    return true;
#endif
}

// Whether the system's table of locks shows one on this file held by this
// very process. Open-file-description locks show no owner there; the flock
// that every lock of ours comes with does.
bool held_here(int fd)
{
    struct stat st;
    FILE* table = fstat(fd, &st) == 0 ? fopen("/proc/locks", "re") : nullptr;
    if (!table) {
        return false;
    }
    bool here = false;
    char line[256];
    while (!here && fgets(line, sizeof line, table)) {
        // A waiter ("->") holds nothing yet.
        if (strstr(line, "->")) {
            continue;
        }
        // "N: KIND ADVISORY MODE PID MAJOR:MINOR:INODE START END"
        long pid = 0;
        unsigned int maj = 0, min = 0;
        unsigned long long ino = 0;
        if (sscanf(line, "%*s %*s %*s %*s %ld %x:%x:%llu", &pid, &maj, &min, &ino) == 4 && pid == (long)getpid() &&
            maj == major(st.st_dev) && min == minor(st.st_dev) && ino == (unsigned long long)st.st_ino) {
            here = true;
        }
    }
    fclose(table);
    return here;
}

} // namespace

std::string lock_file(int fd, bool exclusive)
{
    if (flock_now(fd, exclusive ? LOCK_EX : LOCK_SH)) {
        if (fcntl_now(fd, exclusive ? F_WRLCK : F_RDLCK)) {
            return std::string();
        }
        flock(fd, LOCK_UN);
    }
    return held_here(fd) ? "locked by this program: another of its saves or loads holds it"
                         : "locked by another program";
}

} // namespace Kvo
