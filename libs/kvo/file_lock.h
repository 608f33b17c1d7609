#pragma once
// The advisory locks the file guard takes: flock, and an open-file-description
// lock of fcntl on the whole file, which also meets the POSIX locks (fcntl,
// lockf) of other programs. Other programs may use any of the three, so a
// save takes both kinds and a load holds both shared. They are never waited
// for: the caller may be a thread that must answer others.

#include <string>

namespace Kvo {

// Exclusive on a descriptor open for writing, shared on one open for
// reading; held until the descriptor's last duplicate closes. Empty once
// taken (or where the file system has no such locks), else why not, which
// tells whether this very program holds it.
std::string lock_file(int fd, bool exclusive);

} // namespace Kvo
