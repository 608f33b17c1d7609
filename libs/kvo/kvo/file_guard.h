#pragma once
// Files whose names come from outside (a request, a user): reading takes
// regular files only and never blocks on a named pipe or a device; saving
// replaces the file whole or not at all. Every refusal writes one line on
// standard error, "<path>: <why>".

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace Kvo {

// A regular file open for reading, with a blocking, close-on-exec descriptor.
// Anything else (a named pipe, a directory, a device) is refused without
// waiting for it.
class RegularFile {
  public:
    explicit RegularFile(const std::string& path);
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

// The whole of a regular file of at most `limit` bytes.
bool read_regular_file(const std::string& path, size_t limit, std::string& text);

// A new version of a file, written beside it and renamed over it by commit():
// until then the file keeps its old contents. A save through a chain of
// symbolic links replaces the file at its end (a dangling link's target is
// made), with that file's permissions. Where the system allows it the new
// file has no name until commit(), so a save killed while it writes leaves
// nothing; elsewhere it has one hidden name per target (".<hash>.qmsave"),
// which the next save to that target takes over.
class FileSave {
  public:
    // Named forces the hidden side name (what systems without unnamed files
    // get); Unnamed falls back to it by itself where it has to.
    enum SideFile { Unnamed, Named };

    explicit FileSave(const std::string& path, SideFile side = Unnamed);
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
    bool claim_side_name(mode_t mode);
    void abandon();
    bool clear_stale_side();
    bool side_is_ours() const;
    void fail(const std::string& why) const;

    std::string _path;
    std::string _base;
    std::string _side;
    int _dirfd;
    int _fd;
    bool _named;
};

} // namespace Kvo
