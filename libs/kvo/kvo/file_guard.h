#pragma once
// Files whose names come from outside (a request, a user, a command line):
// reading takes regular files only and never blocks on a named pipe or a
// device; saving replaces the file whole or not at all where it can, and
// otherwise writes it in place, never a file the user may not write. Every
// refusal writes one line on standard error, "<path>: <why>", unless the
// caller takes the reason (`why`) into a message of its own.

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace Kvo {

// A regular file open for reading, with a blocking, close-on-exec descriptor.
// Anything else (a named pipe, a directory, a device) is refused without
// waiting for it.
class RegularFile {
  public:
    explicit RegularFile(const std::string& path, std::string* why = nullptr);
    ~RegularFile();
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;

    bool ok() const { return _fd >= 0; }
    int fd() const { return _fd; }
    // Hands the descriptor over to the caller, who closes it.
    int release();

  private:
    int _fd;
};

// Holds a file open for reading shared, so that no save writes it in place
// meanwhile; false while another program holds it locked, as such a save
// does. Never waits.
bool lock_shared(int fd, const std::string& path, std::string* why = nullptr);

// The whole of a regular file of at most `limit` bytes.
bool read_regular_file(const std::string& path, size_t limit, std::string& text, std::string* why = nullptr);

// A new version of a file. The kernel follows the name's symbolic links (with
// its protection of links in sticky directories); a link to nothing is
// refused, and so is a file the user may not write or that has no write bit
// at all (also for root).
//
// Where it can, the new version is written beside the file and renamed over
// it by commit(): until then the file keeps its old contents, and a save
// killed while it writes leaves it whole. The side file has no name until
// commit() where the system allows it, else a name nobody can guess, made
// exclusively; side files that killed saves left are removed by the next
// save to the same file.
//
// A file with other hard links, one whose owner or group the user cannot give
// a new file, and one in a directory the user cannot write are written in
// place instead, so that they keep their links, owner and group: the new
// version is built in a scratch file, and commit() copies it over the old
// one. The save holds an exclusive lock on the file from the start, taken at
// once or not at all (whoever else holds one fails it). commit() keeps the
// old contents in an unnamed temporary file or, up to 64 MiB, in memory, and
// makes sure of the room: reserved where the file system can, else checked
// against its free space. A save refused then leaves the file untouched; one
// that fails during the copy puts the old contents back, or names where they
// are kept when even that fails. Only a save killed during the copy leaves
// the file part new, part old.
class FileSave {
  public:
    // Named forces a named side file (what systems without unnamed files
    // get); Unnamed falls back to it by itself where it has to.
    enum SideFile { Unnamed, Named };

    // `why`, when given, takes every refusal's reason instead of standard
    // error and must outlive the save.
    explicit FileSave(const std::string& path, SideFile side = Unnamed, std::string* why = nullptr);
    // Without commit() the new version is dropped.
    ~FileSave();
    FileSave(const FileSave&) = delete;
    FileSave& operator=(const FileSave&) = delete;

    bool ok() const { return _fd >= 0; }
    // Open for reading and writing, at offset 0 when the save starts.
    int fd() const { return _fd; }
    // All of it, or false after a message.
    bool write(const void* data, size_t size);
    // Empties what was written so far and goes back to the start.
    bool rewind();
    // Onto the disk, then in place of the target; false after a message.
    bool commit();

  private:
    bool open_existing(int target, SideFile side);
    bool open_new(SideFile side);
    bool make_side(SideFile side, mode_t mode);
    bool make_named_side(mode_t mode);
    bool name_side();
    bool open_scratch();
    bool commit_beside();
    bool commit_in_place();
    void clear_stale_sides();
    void abandon();
    void close_side();
    bool side_is_ours() const;
    void fail(const std::string& why) const;

    std::string _path;
    std::string _base;
    std::string _side;
    std::string* _why;
    int _dirfd;
    int _fd;
    // The file itself, open for writing, when it is written in place.
    int _target;
    bool _named;
};

} // namespace Kvo
