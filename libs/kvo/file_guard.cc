#include <kvo/file_guard.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace Kvo {

namespace {

// As deep as the kernel itself follows links.
const int MaxLinks = 40;

void report(const std::string& path, const std::string& why)
{
    const std::string line = path + ": " + why + "\n";
    fputs(line.c_str(), stderr);
}

// strerror_r comes in two flavours; either gives the text.
[[maybe_unused]] const char* chosen(int result, const char* buf) { return result == 0 ? buf : "unknown error"; }
[[maybe_unused]] const char* chosen(const char* result, const char*) { return result; }

std::string error_text(int e)
{
    char buf[128];
    return chosen(strerror_r(e, buf, sizeof buf), buf);
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Short and of fixed length whatever the target's name, so a name of the
// system's full length can still be saved.
std::string side_name_for(const std::string& base)
{
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : base) {
        h = (h ^ c) * 1099511628211ull;
    }
    char name[32];
    snprintf(name, sizeof name, ".%016llx.qmsave", (unsigned long long)h);
    return name;
}

// Where a save to `path` lands: the end of its chain of symbolic links, each
// relative link taken from its own directory.
bool save_target(const std::string& path, std::string& target)
{
    std::string p = path;
    for (int depth = 0;; ++depth) {
        struct stat st;
        // A name that does not exist is a new file there; any other trouble
        // shows when the file is made.
        if (lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            target = p;
            return true;
        }
        if (depth == MaxLinks) {
            report(path, "too many levels of symbolic links");
            return false;
        }
        char buf[PATH_MAX];
        const ssize_t n = readlink(p.c_str(), buf, sizeof buf);
        if (n <= 0 || (size_t)n >= sizeof buf) {
            report(path, n < 0 ? error_text(errno) : std::string("unreadable symbolic link ") + p);
            return false;
        }
        std::string link(buf, (size_t)n);
        const size_t slash = p.rfind('/');
        if (link[0] != '/' && slash != std::string::npos) {
            link = p.substr(0, slash + 1) + link;
        }
        p = link;
    }
}

} // namespace

// ---- Reading

RegularFile::RegularFile(const std::string& path) : _fd(-1)
{
    // Opening a device can act on it, so a name that is not a regular file is
    // not opened at all; the check on the descriptor closes the race.
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        report(path, "not a regular file");
        return;
    }
    int fd;
    do {
        fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        report(path, error_text(errno));
        return;
    }
    if (fstat(fd, &st) != 0) {
        report(path, error_text(errno));
        close(fd);
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        report(path, "not a regular file");
        close(fd);
        return;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        report(path, error_text(errno));
        close(fd);
        return;
    }
    _fd = fd;
}

RegularFile::~RegularFile()
{
    if (_fd >= 0) {
        close(_fd);
    }
}

int RegularFile::release()
{
    const int fd = _fd;
    _fd = -1;
    return fd;
}

bool read_regular_file(const std::string& path, size_t limit, std::string& text)
{
    RegularFile file(path);
    if (!file.ok()) {
        return false;
    }
    const std::string too_large = "larger than " + std::to_string(limit) + " bytes";
    struct stat st;
    if (fstat(file.fd(), &st) == 0 && (uintmax_t)st.st_size > (uintmax_t)limit) {
        report(path, too_large);
        return false;
    }
    // The size may change while it is read: the limit holds all the same.
    std::string got;
    got.reserve((size_t)st.st_size);
    char buf[8192];
    for (;;) {
        const ssize_t n = read(file.fd(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            report(path, error_text(errno));
            return false;
        }
        if (n == 0) {
            break;
        }
        if ((size_t)n > limit - got.size()) {
            report(path, too_large);
            return false;
        }
        got.append(buf, (size_t)n);
    }
    text.swap(got);
    return true;
}

// ---- Saving

FileSave::FileSave(const std::string& path, SideFile side) : _path(path), _dirfd(-1), _fd(-1), _named(true)
{
    std::string target;
    if (!save_target(path, target)) {
        return;
    }
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    _base = target.substr(slash == std::string::npos ? 0 : slash + 1);
    if (_base.empty() || _base == "." || _base == "..") {
        fail("not a regular file");
        return;
    }
    _dirfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (_dirfd < 0) {
        fail(error_text(errno));
        return;
    }
    struct stat old;
    const bool exists = fstatat(_dirfd, _base.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno != ENOENT) {
        fail(error_text(errno));
        return;
    }
    // A device or a pipe is not to be replaced by a file.
    if (exists && !S_ISREG(old.st_mode)) {
        fail("not a regular file");
        return;
    }
    _side = side_name_for(_base);
    // Never more open than the file it replaces, even before the mode is set.
    const mode_t mode = exists ? (old.st_mode & 0777) : 0666;

#ifdef O_TMPFILE
    // The unnamed file gets its name through /proc.
    if (side == Unnamed && access("/proc/self/fd", X_OK) == 0) {
        _fd = openat(_dirfd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
        if (_fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            fail(error_text(errno));
            return;
        }
        // Held until the rename, like a named side file's.
        if (_fd >= 0) {
            _named = false;
            flock(_fd, LOCK_EX | LOCK_NB);
        }
    }
#else
    (void)side;
#endif
    if (_fd < 0 && !claim_side_name(mode)) {
        return;
    }
    if (exists) {
        // The owner first: changing it may clear the set-id bits.
        if (fchown(_fd, old.st_uid, old.st_gid) != 0) {
            // Only the superuser may give a file away; the mode still holds.
        }
        if (fchmod(_fd, old.st_mode & 07777) != 0) {
            fail(error_text(errno));
            abandon();
        }
    }
}

FileSave::~FileSave()
{
    abandon();
    if (_dirfd >= 0) {
        close(_dirfd);
    }
}

void FileSave::abandon()
{
    if (_fd >= 0) {
        if (_named && side_is_ours()) {
            unlinkat(_dirfd, _side.c_str(), 0);
        }
        close(_fd);
        _fd = -1;
    }
}

void FileSave::fail(const std::string& why) const { report(_path, why); }

// The side name is ours while it names the file we hold locked: only a
// holder of that lock removes it.
bool FileSave::side_is_ours() const
{
    struct stat named, held;
    return fstatat(_dirfd, _side.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && fstat(_fd, &held) == 0 &&
           same_file(named, held);
}

// A side file that nobody holds was left by a save that did not finish.
bool FileSave::clear_stale_side()
{
    const int fd = openat(_dirfd, _side.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return true;
        }
        fail(_side + " is in the way: " + error_text(errno));
        return false;
    }
    struct stat held, named;
    if (fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
        close(fd);
        fail(_side + " is in the way");
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        fail("another save to this file is under way");
        return false;
    }
    if (fstatat(_dirfd, _side.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && same_file(named, held)) {
        unlinkat(_dirfd, _side.c_str(), 0);
    }
    close(fd);
    return true;
}

bool FileSave::claim_side_name(mode_t mode)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        _fd = openat(_dirfd, _side.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (_fd >= 0) {
            // Someone who took it for a leftover may have removed it before
            // we locked it.
            if (flock(_fd, LOCK_EX | LOCK_NB) == 0 && side_is_ours()) {
                _named = true;
                return true;
            }
            close(_fd);
            _fd = -1;
            continue;
        }
        if (errno != EEXIST) {
            fail(error_text(errno));
            return false;
        }
        if (!clear_stale_side()) {
            return false;
        }
    }
    fail("another save to this file is under way");
    return false;
}

bool FileSave::write(const void* data, size_t size)
{
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(_fd, p, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            fail(n < 0 ? error_text(errno) : std::string("nothing written"));
            return false;
        }
        p += n;
        size -= (size_t)n;
    }
    return true;
}

bool FileSave::rewind()
{
    if (ftruncate(_fd, 0) != 0 || lseek(_fd, 0, SEEK_SET) != 0) {
        fail(error_text(errno));
        return false;
    }
    return true;
}

bool FileSave::commit()
{
    if (_fd < 0) {
        return false;
    }
    if (fsync(_fd) != 0) {
        fail(error_text(errno));
        return false;
    }
    if (!_named) {
        const std::string proc = "/proc/self/fd/" + std::to_string(_fd);
        for (int attempt = 0;; ++attempt) {
            if (linkat(AT_FDCWD, proc.c_str(), _dirfd, _side.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                break;
            }
            if (errno != EEXIST || attempt == 2) {
                fail(error_text(errno));
                return false;
            }
            if (!clear_stale_side()) {
                return false;
            }
        }
        _named = true;
    }
    if (renameat(_dirfd, _side.c_str(), _dirfd, _base.c_str()) != 0) {
        fail(error_text(errno));
        return false;
    }
    // Done: the rename is on the disk once the directory is.
    fsync(_dirfd);
    close(_fd);
    _fd = -1;
    return true;
}

} // namespace Kvo
