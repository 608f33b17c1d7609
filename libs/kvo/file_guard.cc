#include <kvo/file_guard.h>

#include "file_lock.h"

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
#include <functional>
#include <new>
#include <vector>

namespace Kvo {

namespace {

const char SideSuffix[] = ".qmsave";
const size_t SideSuffixLength = sizeof SideSuffix - 1;
const char KeptSuffix[] = ".qmkeep";
// How often a fresh side name is drawn before the save gives up.
const int SideAttempts = 8;
// What a copy moves at a time.
const size_t CopyBlock = (size_t)1 << 16;

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

// `size` bytes from the start of one file to the start of another, through
// a buffer the caller has made, so that nothing fails for want of memory
// once a file is touched.
bool copy_file(int from, int to, off_t size, std::vector<char>& buf, std::string& why)
{
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

// Sixteen hex digits that stand for a name.
std::string name_hash(const std::string& name)
{
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : name) {
        h = (h ^ c) * 1099511628211ull;
    }
    char hex[24];
    snprintf(hex, sizeof hex, "%016llx", (unsigned long long)h);
    return hex;
}

// Which file a side file belongs to: short and of fixed length whatever the
// target's name, so a name of the system's full length can still be saved.
std::string side_prefix(const std::string& base) { return "." + name_hash(base) + "."; }

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

// The name the kernel found the file behind `fd` under, opened as `path`;
// empty when it cannot tell.
std::string real_path(int fd, const std::string& path)
{
    char buf[PATH_MAX];
    const ssize_t n = readlink(proc_name(fd).c_str(), buf, sizeof buf);
    if (n > 0 && (size_t)n < sizeof buf && buf[0] == '/') {
        return std::string(buf, (size_t)n);
    }
    // Without /proc, a name that is not a link names the file itself.
    struct stat st;
    if (fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISLNK(st.st_mode)) {
        return std::string();
    }
    return path;
}

// The directory that holds the file behind `fd`, open, and the file's name
// there, as the kernel found it.
bool locate(int fd, const std::string& path, int& dirfd, std::string& base)
{
    const std::string where = real_path(fd, path);
    if (where.empty()) {
        return false;
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

// Where the old contents of a file written in place are kept meanwhile,
// named after it: beside it as ".NAME.qmkeep", else among the temporary
// files as ".NAME.HASH.qmkeep", HASH standing for the file's full name. NAME
// is cut where the whole would pass the system's limit.
struct KeptPlace {
    std::string dir, name;
    bool beside = false;
    std::string path() const { return dir + "/" + name; }
};

std::vector<KeptPlace> kept_places(const std::string& real)
{
    std::string dir, base;
    split(real, dir, base);
    const size_t suffix = sizeof KeptSuffix - 1;
    return {{dir, "." + base.substr(0, NAME_MAX - 1 - suffix) + KeptSuffix, true},
            {temp_dir(), "." + base.substr(0, NAME_MAX - 18 - suffix) + "." + name_hash(real) + KeptSuffix, false}};
}

bool kept_at(const KeptPlace& place, struct stat& st)
{
    return fstatat(AT_FDCWD, place.path().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// A save that did not finish may have left the only whole copy of a file's
// old contents: whoever reads the file is told where. Among the temporary
// files only the user's own count.
void warn_of_kept_copy(int fd, const std::string& path)
{
    const std::string real = real_path(fd, path);
    if (real.empty()) {
        return;
    }
    for (const KeptPlace& place : kept_places(real)) {
        struct stat st;
        if (kept_at(place, st) && S_ISREG(st.st_mode) && (place.beside || st.st_uid == geteuid())) {
            const std::string line =
                path + ": a save of it did not finish; its old contents are kept in " + place.path() + "\n";
            fputs(line.c_str(), stderr);
        }
    }
}

// The old contents of a file written in place, under a name from before the
// first write to it until its new contents are on the disk, so that a save
// killed in between leaves them where the user is told to look.
class KeptCopy {
  public:
    KeptCopy() = default;
    // Whatever ends the save early, also a failed allocation, takes the
    // name away again while the file still holds its old contents.
    ~KeptCopy()
    {
        if (_named && !_needed) {
            drop();
        }
        close_all();
    }
    KeptCopy(const KeptCopy&) = delete;
    KeptCopy& operator=(const KeptCopy&) = delete;

    // The `size` bytes of `from` (the file found at `real`), copied, synced
    // and named where `room` can then be made for the new contents.
    bool make(const std::string& real, int from, off_t size, std::vector<char>& buf,
              const std::function<bool(std::string&)>& room, std::string& why);
    // The file is about to be written: from now on they stay unless put
    // back or dropped.
    void needed() { _needed = true; }
    // Back into `file`; else they stay, under the name `why` tells.
    bool put_back(int file, std::vector<char>& buf, std::string& why);
    // No longer needed: the file is whole.
    void drop();

  private:
    bool make_in(const KeptPlace& place, int from, std::vector<char>& buf, std::string& why);
    void close_all();

    int _fd = -1;
    int _dirfd = -1;
    off_t _size = 0;
    KeptPlace _place;
    bool _named = false;
    bool _needed = false;
};

bool KeptCopy::make(const std::string& real, int from, off_t size, std::vector<char>& buf,
                    const std::function<bool(std::string&)>& room, std::string& why)
{
    _size = size;
    const std::vector<KeptPlace> places = kept_places(real);
    // One that is there already may hold the only whole copy of the file.
    for (const KeptPlace& place : places) {
        struct stat st;
        if (kept_at(place, st)) {
            why = "an earlier save of it did not finish and its old contents are kept in " + place.path() +
                  ": move them away first";
            return false;
        }
    }
    std::string tried, no_room;
    for (const KeptPlace& place : places) {
        std::string failed;
        if (!make_in(place, from, buf, failed)) {
            tried += tried.empty() ? "cannot keep its old contents in " : " nor in ";
            tried += place.dir + " (" + failed + ")";
            continue;
        }
        // Beside the file they take room that its new contents may need.
        if (room(no_room)) {
            return true;
        }
        drop();
    }
    why = no_room.empty() ? tried : no_room;
    return false;
}

bool KeptCopy::make_in(const KeptPlace& place, int from, std::vector<char>& buf, std::string& why)
{
    _dirfd = open(place.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (_dirfd < 0) {
        why = error_text(errno);
        return false;
    }
    // Made whole without a name first, so the name never shows part of them;
    // a temporary name only where the system has no unnamed files.
    std::string temp;
#ifdef O_TMPFILE
    if (access("/proc/self/fd", X_OK) == 0) {
        _fd = openat(_dirfd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    }
#endif
    if (_fd < 0) {
        temp = ".qmkeep-" + random_hex();
        _fd = openat(_dirfd, temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    }
    bool named = false;
    // Taken before the name is made, which nothing may then leave behind.
    _place = place;
    if (_fd < 0) {
        why = error_text(errno);
    } else if (copy_file(from, _fd, _size, buf, why)) {
        const std::string fd_name = proc_name(_fd);
        named = fsync(_fd) == 0 &&
                (temp.empty() ? linkat(AT_FDCWD, fd_name.c_str(), _dirfd, place.name.c_str(), AT_SYMLINK_FOLLOW)
                              : linkat(_dirfd, temp.c_str(), _dirfd, place.name.c_str(), 0)) == 0;
        _named = named;
        if (!named) {
            why = error_text(errno);
        }
    }
    if (!temp.empty()) {
        unlinkat(_dirfd, temp.c_str(), 0);
    }
    if (!named) {
        close_all();
        return false;
    }
    fsync(_dirfd);
    return true;
}

bool KeptCopy::put_back(int file, std::vector<char>& buf, std::string& why)
{
    std::string failed;
    if (ftruncate(file, _size) != 0) {
        failed = error_text(errno);
    } else if (copy_file(_fd, file, _size, buf, failed) && fsync(file) != 0) {
        failed = error_text(errno);
    }
    if (failed.empty()) {
        drop();
        return true;
    }
    why = "its old contents could not be put back (" + failed + ") and are kept in " + _place.path();
    return false;
}

void KeptCopy::drop()
{
    struct stat named, held;
    if (fstatat(_dirfd, _place.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && fstat(_fd, &held) == 0 &&
        same_file(named, held) && unlinkat(_dirfd, _place.name.c_str(), 0) == 0) {
        fsync(_dirfd);
    }
    _named = _needed = false;
    close_all();
}

void KeptCopy::close_all()
{
    for (int* fd : {&_fd, &_dirfd}) {
        if (*fd >= 0) {
            close(*fd);
        }
        *fd = -1;
    }
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
    // Held while it is read, so that no save writes it meanwhile.
    const std::string locked = lock_file(fd, false);
    if (!locked.empty()) {
        report(path, locked, why);
        close(fd);
        return;
    }
    warn_of_kept_copy(fd, path);
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

FileSave::FileSave(const std::string& path, SideFile side, std::string* why, Claim claim)
    : _path(path), _why(why), _dirfd(-1), _fd(-1), _target(-1), _named(false), _in_place(false), _claimed(false),
      _taken(false)
{
    if (claim == NewName) {
        open_new(side, NewName);
        return;
    }
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
    open_new(side, Replace);
}

FileSave::~FileSave()
{
    abandon();
    // A name claimed and never saved under is given back.
    if (_claimed && target_is_named()) {
        unlinkat(_dirfd, _base.c_str(), 0);
    }
    for (int fd : {_target, _dirfd}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

bool FileSave::open_new(SideFile side, Claim claim)
{
    std::string dir;
    split(_path, dir, _base);
    if (_base.empty() || _base == "." || _base == "..") {
        fail("not a regular file");
        return false;
    }
    _dirfd = open_dir(dir);
    if (_dirfd >= 0 && claim == NewName) {
        // The name is ours from here on: another save that wants it new finds
        // it taken, and the new version replaces only this empty file.
        _target = openat(_dirfd, _base.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (_target < 0 && errno == EEXIST) {
            _taken = true;
            return false;
        }
        _claimed = _target >= 0;
        const std::string locked = _claimed ? lock_file(_target, true) : std::string();
        if (!locked.empty()) {
            fail(locked);
            return false;
        }
    }
    if (_dirfd < 0 || (claim == NewName && !_claimed) || !make_side(side, 0666)) {
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
    // Held until the save is done, so a save that cannot have it is refused
    // before anything is built.
    const std::string locked = lock_file(_target, true);
    if (!locked.empty()) {
        fail(locked);
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
                return true;
            }
            abandon();
        } else if (errno != EACCES && errno != EPERM) {
            fail(error_text(errno));
            return false;
        }
    }
    _in_place = true;
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

bool FileSave::target_is_named() const
{
    struct stat named, held;
    return fstatat(_dirfd, _base.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && fstat(_target, &held) == 0 &&
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
    if (!(_in_place ? commit_in_place() : commit_beside())) {
        return false;
    }
    close_side();
    _claimed = false;
    return true;
}

bool FileSave::commit_beside()
{
    // A claimed name is replaced only while it holds the claim.
    if (_claimed && !target_is_named()) {
        fail("taken by another save meanwhile");
        return false;
    }
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
    struct stat st, old;
    if (fstat(_fd, &st) != 0 || fstat(_target, &old) != 0) {
        fail(error_text(errno));
        return false;
    }
    const off_t size = st.st_size;
    // Everything the copy needs is made first, and the old contents are
    // kept under a name and the room made: a save refused then leaves the
    // file untouched.
    std::vector<char> buf(CopyBlock);
    std::string why;
    const int from = reopen(_target, _path, O_RDONLY);
    if (from < 0) {
        fail("cannot keep its old contents: " + error_text(errno));
        return false;
    }
    const std::string real = real_path(_target, _path);
    KeptCopy kept;
    const bool made = kept.make(real.empty() ? _path : real, from, old.st_size, buf,
                                [&](std::string& no_room) { return make_room(_target, old, size, no_room); }, why);
    close(from);
    if (!made) {
        fail(why);
        return false;
    }
    // From the first write until the file is on the disk it is part new,
    // part old: whatever fails in between puts the old contents back.
    bool written = false;
    kept.needed();
    try {
        written = copy_file(_fd, _target, size, buf, why);
        if (written && (ftruncate(_target, size) != 0 || fsync(_target) != 0)) {
            why = error_text(errno);
            written = false;
        }
    } catch (const std::bad_alloc&) {
        // Only a reason was being made: the old contents go back all the same.
        why = "out of memory";
    }
    if (written) {
        kept.drop();
        return true;
    }
    std::string lost;
    if (!kept.put_back(_target, buf, lost)) {
        why += "; " + lost;
    }
    fail(why);
    return false;
}

} // namespace Kvo
