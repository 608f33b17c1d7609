#include <kvo/file_guard.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace Kvo {

namespace {

const char SideSuffix[] = ".qmsave";
const size_t SideSuffixLength = sizeof SideSuffix - 1;
// How often a fresh side name is drawn before the save gives up.
const int SideAttempts = 8;
// Old contents kept while a file is written in place go to memory, up to
// this much, only where no temporary file can take them.
const off_t KeepInMemory = (off_t)64 << 20;

void report(const std::string& path, const std::string& why, std::string* sink)
{
    if (sink) {
        *sink = why;
        return;
    }
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

std::string proc_name(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

void split(const std::string& path, std::string& dir, std::string& base)
{
    const size_t slash = path.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    base = path.substr(slash == std::string::npos ? 0 : slash + 1);
}

// Read access lets the directory be synced and searched for leftovers; a
// directory without it can still take a side file.
int open_dir(const std::string& dir)
{
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd >= 0 || errno != EACCES ? fd : open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

bool put_all(int fd, const char* p, size_t size, off_t at, std::string& why)
{
    while (size > 0) {
        const ssize_t n = at < 0 ? ::write(fd, p, size) : pwrite(fd, p, size, at);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            why = n < 0 ? error_text(errno) : "nothing written";
            return false;
        }
        p += n;
        size -= (size_t)n;
        if (at >= 0) {
            at += n;
        }
    }
    return true;
}

// Whoever writes a file in place holds this lock on it, and a reader that
// asks holds it shared, so that neither meets a file half written. It is
// never waited for: the caller may be a thread that must answer others. A
// file system without such locks is read and written all the same.
bool lock_now(int fd, int how)
{
    int got;
    do {
        got = flock(fd, how | LOCK_NB);
    } while (got != 0 && errno == EINTR);
    return got == 0 || errno != EWOULDBLOCK;
}

const char LockedByAnother[] = "locked by another program";

// `size` bytes from the start of one file to the start of another.
bool copy_file(int from, int to, off_t size, std::string& why)
{
    std::vector<char> buf(1 << 16);
    for (off_t at = 0; at < size;) {
        const ssize_t n = pread(from, buf.data(), (size_t)std::min<off_t>((off_t)buf.size(), size - at), at);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            why = n < 0 ? error_text(errno) : "it got shorter while it was copied";
            return false;
        }
        if (!put_all(to, buf.data(), (size_t)n, at, why)) {
            return false;
        }
        at += n;
    }
    return true;
}

std::string temp_dir()
{
    const char* tmp = getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}

// A file of our own among the temporary files, without a name.
int unnamed_temp(const char* prefix)
{
    std::string name = temp_dir() + "/" + prefix + "-XXXXXX";
    const int fd = mkostemp(&name[0], O_CLOEXEC);
    if (fd >= 0) {
        unlink(name.c_str());
    }
    return fd;
}

// Room for the file behind `fd` (`now`) to grow to `size` bytes: reserved
// where the file system can, else checked against what it has free, with a
// margin for the blocks that address the new ones. A file system that tells
// no sizes is trusted.
bool make_room(int fd, const struct stat& now, off_t size, std::string& why)
{
    if (size <= 0 || fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size) == 0) {
        return true;
    }
    if (errno != EOPNOTSUPP && errno != ENOSYS) {
        why = error_text(errno);
        return false;
    }
    struct statvfs fs;
    if (fstatvfs(fd, &fs) != 0 || fs.f_blocks == 0) {
        return true;
    }
    const uintmax_t unit = fs.f_frsize ? fs.f_frsize : fs.f_bsize;
    const uintmax_t held = (uintmax_t)now.st_blocks * 512;
    const uintmax_t wanted = ((uintmax_t)size + unit - 1) / unit * unit;
    const uintmax_t grows = wanted > held ? wanted - held : 0;
    if (grows == 0 || grows + grows / 128 + 4 * unit <= (uintmax_t)fs.f_bavail * unit) {
        return true;
    }
    why = error_text(ENOSPC);
    return false;
}

// Which file a side file belongs to: short and of fixed length whatever the
// target's name, so a name of the system's full length can still be saved.
std::string side_prefix(const std::string& base)
{
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : base) {
        h = (h ^ c) * 1099511628211ull;
    }
    char name[24];
    snprintf(name, sizeof name, ".%016llx.", (unsigned long long)h);
    return name;
}

const size_t SideNameLength = 1 + 16 + 1 + 16 + SideSuffixLength;

// Sixteen hex digits nobody can guess.
std::string random_hex()
{
    uint64_t r = 0;
    if (getrandom(&r, sizeof r, GRND_NONBLOCK) != (ssize_t)sizeof r) {
        // Only before the system's pool is ready: unique all the same, and
        // the name is made exclusively.
        static std::atomic<uint64_t> drawn{0};
        timespec t;
        clock_gettime(CLOCK_REALTIME, &t);
        r = ((uint64_t)t.tv_nsec << 32) ^ (uint64_t)t.tv_sec ^ ((uint64_t)getpid() << 20) ^
            drawn.fetch_add(0x9e3779b97f4a7c15ull);
    }
    char name[24];
    snprintf(name, sizeof name, "%016llx", (unsigned long long)r);
    return name;
}

// Nobody can make it first on a shared directory, as a fixed name could be.
std::string side_name(const std::string& base) { return side_prefix(base) + random_hex() + SideSuffix; }

// The file behind `fd` (an O_PATH descriptor) opened anew: that very file,
// whatever its name leads to by now.
int reopen(int fd, const std::string& path, int flags)
{
    int got = open(proc_name(fd).c_str(), flags | O_CLOEXEC | O_NOCTTY);
    if (got >= 0 || errno != ENOENT) {
        return got;
    }
    // Without /proc: by its name again, and checked.
    got = open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat now, then;
    if (got >= 0 && (fstat(got, &now) != 0 || fstat(fd, &then) != 0 || !same_file(now, then))) {
        close(got);
        errno = ESTALE;
        return -1;
    }
    return got;
}

// The directory that holds the file behind `fd`, open, and the file's name
// there, as the kernel found it.
bool locate(int fd, const std::string& path, int& dirfd, std::string& base)
{
    std::string where;
    char buf[PATH_MAX];
    const ssize_t n = readlink(proc_name(fd).c_str(), buf, sizeof buf);
    if (n > 0 && (size_t)n < sizeof buf && buf[0] == '/') {
        where.assign(buf, (size_t)n);
    } else {
        // Without /proc, a name that is not a link names the file itself.
        struct stat st;
        if (fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISLNK(st.st_mode)) {
            return false;
        }
        where = path;
    }
    std::string dir;
    split(where, dir, base);
    dirfd = open_dir(dir);
    struct stat named, held;
    if (dirfd >= 0 && fstatat(dirfd, base.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && fstat(fd, &held) == 0 &&
        same_file(named, held)) {
        return true;
    }
    if (dirfd >= 0) {
        close(dirfd);
        dirfd = -1;
    }
    return false;
}

// The old contents of a file written in place, kept until the new ones are
// on the disk: in an unnamed temporary file, else in memory within a bound.
class OldContents {
  public:
    OldContents() = default;
    ~OldContents()
    {
        if (_fd >= 0) {
            close(_fd);
        }
    }
    OldContents(const OldContents&) = delete;
    OldContents& operator=(const OldContents&) = delete;

    bool take(int file, const std::string& path, off_t size, std::string& why);
    // Back into `file`; else they stay, under a name that `why` tells.
    bool put_back(int file, std::string& why);

  private:
    bool keep_in(int fd, int from, std::string& why);
    std::string keep_name();

    int _fd = -1;
    off_t _size = 0;
    bool _linkable = false;
};

bool OldContents::take(int file, const std::string& path, off_t size, std::string& why)
{
    _size = size;
    if (size == 0) {
        return true;
    }
    const int from = reopen(file, path, O_RDONLY);
    if (from < 0) {
        why = "cannot keep its old contents: " + error_text(errno);
        return false;
    }
    std::string on_disk, in_memory = "larger than " + std::to_string((long long)KeepInMemory) + " bytes";
#ifdef O_TMPFILE
    _linkable = keep_in(open(temp_dir().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600), from, on_disk);
#endif
    if (_fd < 0) {
        keep_in(unnamed_temp("qmkeep"), from, on_disk);
    }
    if (_fd < 0 && size <= KeepInMemory) {
#ifdef MFD_CLOEXEC
        keep_in(memfd_create("qmkeep", MFD_CLOEXEC), from, in_memory);
#else
        in_memory = error_text(ENOSYS);
#endif
    }
    close(from);
    if (_fd < 0) {
        why = "cannot keep its old contents in " + temp_dir() + " (" + on_disk + ") nor in memory (" + in_memory + ")";
        return false;
    }
    return true;
}

bool OldContents::keep_in(int fd, int from, std::string& why)
{
    if (fd >= 0 && copy_file(from, fd, _size, why)) {
        _fd = fd;
        return true;
    }
    if (fd < 0) {
        why = error_text(errno);
    } else {
        close(fd);
    }
    return false;
}

bool OldContents::put_back(int file, std::string& why)
{
    std::string failed;
    if (ftruncate(file, _size) != 0) {
        failed = error_text(errno);
    } else if (copy_file(_fd, file, _size, failed) && fsync(file) != 0) {
        failed = error_text(errno);
    }
    if (failed.empty()) {
        return true;
    }
    why = "its old contents could not be put back (" + failed + ")";
    if (_fd >= 0) {
        why += " and are kept in " + keep_name();
    }
    return false;
}

// A name for the kept contents that outlives the save: among the temporary
// files, else the descriptor's own, which then stays open for whoever
// rescues them.
std::string OldContents::keep_name()
{
    const std::string dir = temp_dir();
    for (int attempt = 0; _linkable && attempt < SideAttempts; ++attempt) {
        const std::string name = dir + "/qmkeep-" + random_hex();
        if (linkat(AT_FDCWD, proc_name(_fd).c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            return name;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    const std::string name = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(_fd);
    _fd = -1;
    return name;
}

} // namespace

// ---- Reading

RegularFile::RegularFile(const std::string& path, std::string* why) : _fd(-1)
{
    // Opening a device can act on it, so a name that is not a regular file is
    // not opened at all; the check on the descriptor closes the race.
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        report(path, "not a regular file", why);
        return;
    }
    int fd;
    do {
        fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        report(path, error_text(errno), why);
        return;
    }
    if (fstat(fd, &st) != 0) {
        report(path, error_text(errno), why);
        close(fd);
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        report(path, "not a regular file", why);
        close(fd);
        return;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        report(path, error_text(errno), why);
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

bool lock_shared(int fd, const std::string& path, std::string* why)
{
    if (lock_now(fd, LOCK_SH)) {
        return true;
    }
    report(path, LockedByAnother, why);
    return false;
}

bool read_regular_file(const std::string& path, size_t limit, std::string& text, std::string* why)
{
    RegularFile file(path, why);
    if (!file.ok()) {
        return false;
    }
    const std::string too_large = "larger than " + std::to_string(limit) + " bytes";
    struct stat st;
    if (fstat(file.fd(), &st) != 0) {
        report(path, error_text(errno), why);
        return false;
    }
    if ((uintmax_t)st.st_size > (uintmax_t)limit) {
        report(path, too_large, why);
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
            report(path, error_text(errno), why);
            return false;
        }
        if (n == 0) {
            break;
        }
        if ((size_t)n > limit - got.size()) {
            report(path, too_large, why);
            return false;
        }
        got.append(buf, (size_t)n);
    }
    text.swap(got);
    return true;
}

// ---- Saving

FileSave::FileSave(const std::string& path, SideFile side, std::string* why)
    : _path(path), _why(why), _dirfd(-1), _fd(-1), _target(-1), _named(false)
{
    // The kernel follows the links, with its protections; no pipe or device
    // is opened for this.
    const int target = open(path.c_str(), O_PATH | O_CLOEXEC);
    if (target >= 0) {
        open_existing(target, side);
        close(target);
        return;
    }
    if (errno != ENOENT) {
        fail(error_text(errno));
        return;
    }
    // A file made where a link leads would be made wherever whoever put the
    // link chose.
    struct stat st;
    if (fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
        fail("a symbolic link to nothing");
        return;
    }
    open_new(side);
}

FileSave::~FileSave()
{
    abandon();
    for (int fd : {_target, _dirfd}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

bool FileSave::open_new(SideFile side)
{
    std::string dir;
    split(_path, dir, _base);
    if (_base.empty() || _base == "." || _base == "..") {
        fail("not a regular file");
        return false;
    }
    _dirfd = open_dir(dir);
    if (_dirfd < 0 || !make_side(side, 0666)) {
        fail(error_text(errno));
        return false;
    }
    return true;
}

bool FileSave::open_existing(int target, SideFile side)
{
    struct stat old;
    if (fstat(target, &old) != 0) {
        fail(error_text(errno));
        return false;
    }
    // A device or a pipe is not to be replaced by a file.
    if (!S_ISREG(old.st_mode)) {
        fail("not a regular file");
        return false;
    }
    // Root may write anything: a file that nobody may write is kept all the
    // same.
    if ((old.st_mode & 0222) == 0) {
        fail(error_text(EACCES));
        return false;
    }
    // What the user may not write is not replaced either.
    _target = reopen(target, _path, O_WRONLY);
    if (_target < 0) {
        fail(error_text(errno));
        return false;
    }
    // Beside it only where the new file can be all the old one was.
    if (old.st_nlink == 1 && locate(target, _path, _dirfd, _base)) {
        if (make_side(side, old.st_mode & 0777)) {
            // The owner first: changing it may clear the set-id bits.
            if (fchown(_fd, old.st_uid, old.st_gid) == 0) {
                if (fchmod(_fd, old.st_mode & 07777) != 0) {
                    fail(error_text(errno));
                    abandon();
                    return false;
                }
                close(_target);
                _target = -1;
                return true;
            }
            abandon();
        } else if (errno != EACCES && errno != EPERM) {
            fail(error_text(errno));
            return false;
        }
    }
    // Held until the save is done, so a save that cannot have it is refused
    // before anything is built.
    if (!lock_now(_target, LOCK_EX)) {
        fail(LockedByAnother);
        return false;
    }
    if (!open_scratch()) {
        fail(error_text(errno));
        return false;
    }
    return true;
}

bool FileSave::make_side(SideFile side, mode_t mode)
{
    clear_stale_sides();
#ifdef O_TMPFILE
    // The unnamed file gets its name through /proc.
    if (side == Unnamed && access("/proc/self/fd", X_OK) == 0) {
        _fd = openat(_dirfd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
        if (_fd >= 0) {
            // Held until the rename, as a named side file is.
            flock(_fd, LOCK_EX | LOCK_NB);
            _named = false;
            return true;
        }
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            return false;
        }
    }
#else
    (void)side;
#endif
    return make_named_side(mode);
}

bool FileSave::make_named_side(mode_t mode)
{
    for (int attempt = 0; attempt < SideAttempts; ++attempt) {
        _side = side_name(_base);
        _fd = openat(_dirfd, _side.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (_fd < 0) {
            if (errno == EEXIST) {
                continue;
            }
            return false;
        }
        // Another save may have taken it for a leftover and removed it before
        // we locked it.
        if (flock(_fd, LOCK_EX | LOCK_NB) == 0 && side_is_ours()) {
            _named = true;
            return true;
        }
        close_side();
    }
    errno = EEXIST;
    return false;
}

bool FileSave::name_side()
{
    for (int attempt = 0; attempt < SideAttempts; ++attempt) {
        _side = side_name(_base);
        if (linkat(AT_FDCWD, proc_name(_fd).c_str(), _dirfd, _side.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            _named = true;
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}

// A version written in place is made here first, so the file keeps its old
// contents until the whole new one is there.
bool FileSave::open_scratch()
{
    _named = false;
#ifdef MFD_CLOEXEC
    _fd = memfd_create("qmsave", MFD_CLOEXEC);
    if (_fd >= 0 || errno != ENOSYS) {
        return _fd >= 0;
    }
#endif
    _fd = unnamed_temp("qmsave");
    return _fd >= 0;
}

// Side files of this target that nobody holds were left by saves that were
// killed. Only the user's own are taken away.
void FileSave::clear_stale_sides()
{
    const int fd = openat(_dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!dir) {
        if (fd >= 0) {
            close(fd);
        }
        return;
    }
    const std::string prefix = side_prefix(_base);
    std::vector<std::string> found;
    while (const dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name.size() == SideNameLength && name.compare(0, prefix.size(), prefix) == 0 &&
            name.compare(SideNameLength - SideSuffixLength, SideSuffixLength, SideSuffix) == 0) {
            found.push_back(name);
        }
    }
    closedir(dir);
    for (const std::string& name : found) {
        const int held = openat(_dirfd, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (held < 0) {
            continue;
        }
        struct stat h, n;
        if (fstat(held, &h) == 0 && S_ISREG(h.st_mode) && h.st_uid == geteuid() && flock(held, LOCK_EX | LOCK_NB) == 0 &&
            fstatat(_dirfd, name.c_str(), &n, AT_SYMLINK_NOFOLLOW) == 0 && same_file(n, h) &&
            unlinkat(_dirfd, name.c_str(), 0) != 0) {
            fail("cannot remove " + name + ", left by a save that did not finish: " + error_text(errno));
        }
        close(held);
    }
}

void FileSave::abandon()
{
    if (_fd >= 0 && _named && side_is_ours()) {
        unlinkat(_dirfd, _side.c_str(), 0);
    }
    close_side();
}

// Lets the side file go; its name, if it has one, is left as it is.
void FileSave::close_side()
{
    if (_fd >= 0) {
        close(_fd);
    }
    _fd = -1;
    _named = false;
}

void FileSave::fail(const std::string& why) const { report(_path, why, _why); }

// The side name is ours while it names the file we hold locked: only a
// holder of that lock removes it.
bool FileSave::side_is_ours() const
{
    struct stat named, held;
    return fstatat(_dirfd, _side.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && fstat(_fd, &held) == 0 &&
           same_file(named, held);
}

bool FileSave::write(const void* data, size_t size)
{
    std::string why;
    if (!put_all(_fd, static_cast<const char*>(data), size, -1, why)) {
        fail(why);
        return false;
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
    if (!(_target >= 0 ? commit_in_place() : commit_beside())) {
        return false;
    }
    close_side();
    return true;
}

bool FileSave::commit_beside()
{
    if (fsync(_fd) != 0 || (!_named && !name_side()) || renameat(_dirfd, _side.c_str(), _dirfd, _base.c_str()) != 0) {
        fail(error_text(errno));
        return false;
    }
    // Done: the rename is on the disk once the directory is.
    fsync(_dirfd);
    return true;
}

bool FileSave::commit_in_place()
{
    struct stat st;
    if (fstat(_fd, &st) != 0) {
        fail(error_text(errno));
        return false;
    }
    const off_t size = st.st_size;
    // The old contents kept and the room made first: a save refused then
    // leaves the file untouched.
    struct stat old;
    if (fstat(_target, &old) != 0) {
        fail(error_text(errno));
        return false;
    }
    std::string why;
    OldContents kept;
    if (!kept.take(_target, _path, old.st_size, why) || !make_room(_target, old, size, why)) {
        fail(why);
        return false;
    }
    // From the first write until the file is on the disk it is part new,
    // part old: whatever fails in between puts the old contents back.
    bool written = copy_file(_fd, _target, size, why);
    if (written && (ftruncate(_target, size) != 0 || fsync(_target) != 0)) {
        why = error_text(errno);
        written = false;
    }
    if (written) {
        return true;
    }
    std::string lost;
    if (!kept.put_back(_target, lost)) {
        why += "; " + lost;
    }
    fail(why);
    return false;
}

} // namespace Kvo
