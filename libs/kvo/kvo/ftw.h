#pragma once
// File-tree walk over the platform's fts interface.

#include <sys/stat.h>

namespace Kvo {

// What the callback is told an entry is.
enum WalkType {
    WALK_D = 0,   // directory (before its contents, or after them with WALK_DEPTH)
    WALK_DNR = 1, // unreadable directory
    WALK_F = 2,   // file
    WALK_SL = 3,  // symbolic link not followed (and a dangling one in ftw)
    WALK_NS = 4,  // no stat information
    WALK_SLN = 6  // dangling symbolic link (nftw)
};

// nftw flags.
enum WalkFlags {
    WALK_NOCHDIR = 1, // do not change directory while walking
    WALK_DEPTH = 2,   // report a directory after its contents
    WALK_MOUNT = 4,   // stay on the start's file system
    WALK_PHYS = 8     // do not follow symbolic links
};

struct FTW {
    int base;  // offset of the entry's name in the path
    int level; // depth below the start
};

typedef int (*ftw_func)(const char* path, const struct stat* sb, int type);
typedef int (*nftw_func)(const char* path, const struct stat* sb, int type, struct FTW* ftw);

// The walk stops at the first non-zero callback result and returns it;
// otherwise 0, or -1 on error. descr below 1 is refused with EINVAL.
// The start directory reaches the callback without a trailing '/'.
int ftw(const char* dir, ftw_func fn, int descr);
int nftw(const char* dir, nftw_func fn, int descr, int flags);

} // namespace Kvo
