#pragma once
// Files whose names come from outside (a request, a user, a command line):
// reading takes regular files only and never blocks on a named pipe or a
// device; saving replaces the file whole or not at all where it can, and
// otherwise writes it in place, never a file the user may not write. A file
// that another save or another program holds locked (flock, fcntl or lockf)
// is neither read nor saved: refused at once, never waited for. Every
// refusal writes one line on standard error, "<path>: <why>", unless the
// caller takes the reason (`why`) into a message of its own.

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace Kvo {

// A regular file open for reading, with a blocking, close-on-exec descriptor
// that holds it locked shared, so that no save writes it meanwhile. Anything
// else (a named pipe, a directory, a device) is refused without waiting for
// it, and so is a file locked for writing. Where a save of the file did not
// finish and left its old contents aside, a line on standard error says
// where they are.
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

// The whole of a regular file of at most `limit` bytes.
bool read_regular_file(const std::string& path, size_t limit, std::string& text, std::string* why = nullptr);

// A new version of a file. The kernel follows the name's symbolic links (with
// its protection of links in sticky directories); a link to nothing is
// refused, and so is a file the user may not write or that has no write bit
// at all (also for root).
//
// A file that is there is held locked from the start of the save to its end,
// exclusive in both kinds (flock and fcntl), taken at once or not at all:
// whoever else holds a lock on it fails the save.
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
// one. Before the first write, commit() keeps the old contents, synced, in a
// file named after it: ".NAME.qmkeep" beside it, else (where its folder
// cannot take them, or its disk then has no room for the new contents)
// ".NAME.HASH.qmkeep" among the temporary files; with neither, or with one
// there already (left by a save that did not finish), the save is refused.
// It makes sure of the room too: reserved where the file system can, else
// checked against its free space. A save refused then leaves the file
// untouched. One that fails
// during the copy puts the old contents back, or names where they are kept
// when even that fails; once the file is whole and synced the kept copy
// goes. A save killed during the copy leaves the old contents under that
// name.
//
// A save under a new name only (NewName) claims the name by making the file,
// empty, exclusively, so that no other save gets it meanwhile, and commit()
// replaces only that file; where a file has the name already, taken() tells
// so, without a message, and the save does nothing. A save dropped gives the
// name back; one killed leaves it empty.
class FileSave {
  public:
    // Named forces a named side file (what systems without unnamed files
    // get); Unnamed falls back to it by itself where it has to.
    enum SideFile { Unnamed, Named };
    // Whether the save may replace a file of that name.
    enum Claim { Replace, NewName };

    // `why`, when given, takes every refusal's reason instead of standard
    // error and must outlive the save.
    explicit FileSave(const std::string& path, SideFile side = Unnamed, std::string* why = nullptr,
                      Claim claim = Replace);
    // Without commit() the new version is dropped.
    ~FileSave();
    FileSave(const FileSave&) = delete;
    FileSave& operator=(const FileSave&) = delete;

    bool ok() const { return _fd >= 0; }
    // A NewName save found the name in use.
    bool taken() const { return _taken; }
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
    bool open_new(SideFile side, Claim claim);
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
    bool target_is_named() const;
    void fail(const std::string& why) const;

    std::string _path;
    std::string _base;
    std::string _side;
    std::string* _why;
    int _dirfd;
    int _fd;
    // The file there, open for writing and locked, or the name's claim.
    int _target;
    bool _named;
    bool _in_place;
    bool _claimed;
    bool _taken;
};

} // namespace Kvo
