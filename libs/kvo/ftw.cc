#include <kvo/ftw.h>

#include <fts.h>

#include <cerrno>
#include <string>
#include <vector>

namespace Kvo {

namespace {

enum Mode { MODE_FTW = 0, MODE_NFTW = 1 };

int walk(const char* dir, ftw_func ffn, nftw_func nfn, int descr, int flags, Mode mode) {
    if (descr < 1) {
        errno = EINVAL;
        return -1;
    }
    int opts = FTS_LOGICAL;
    if (mode == MODE_NFTW) {
        opts = (flags & WALK_PHYS) ? FTS_PHYSICAL : FTS_LOGICAL;
        if (flags & WALK_NOCHDIR) {
            opts |= FTS_NOCHDIR;
        }
        if (flags & WALK_MOUNT) {
            opts |= FTS_XDEV;
        }
    }
    const bool depth = mode == MODE_NFTW && (flags & WALK_DEPTH);

    std::vector<char> start(dir, dir + std::char_traits<char>::length(dir) + 1);
    char* paths[2] = {start.data(), nullptr};
    FTS* fts = fts_open(paths, opts, nullptr);
    if (!fts) {
        return errno == EACCES ? 0 : -1;
    }

    for (;;) {
        errno = 0;
        FTSENT* e = fts_read(fts);
        if (!e) {
            break;
        }
        int type;
        switch (e->fts_info) {
        case FTS_D:
            if (depth) {
                continue;
            }
            type = WALK_D;
            break;
        case FTS_DNR:
            type = WALK_DNR;
            break;
        case FTS_DP:
            if (!depth) {
                continue;
            }
            type = WALK_D;
            break;
        case FTS_F:
            type = WALK_F;
            break;
        case FTS_NS:
            type = WALK_NS;
            break;
        case FTS_SL:
            type = WALK_SL;
            break;
        case FTS_SLNONE:
            type = mode == MODE_NFTW ? WALK_SLN : WALK_SL;
            break;
        default:
            continue;
        }

        std::string path(e->fts_path, e->fts_pathlen);
        FTW f;
        f.level = e->fts_level;
        if (e->fts_level == FTS_ROOTLEVEL) {
            while (path.size() > 1 && path.back() == '/') {
                path.pop_back();
            }
            const std::string::size_type slash = path.rfind('/');
            f.base = slash == std::string::npos || path.size() == 1 ? 0 : int(slash + 1);
        } else {
            f.base = int(e->fts_pathlen - e->fts_namelen);
        }

        const int r = mode == MODE_NFTW ? nfn(path.c_str(), e->fts_statp, type, &f)
                                        : ffn(path.c_str(), e->fts_statp, type);
        if (r != 0) {
            const int saved = errno;
            fts_close(fts);
            errno = saved;
            return r;
        }
    }

    const int saved = errno;
    const int closed = fts_close(fts);
    if (saved) {
        errno = saved;
        return -1;
    }
    return closed;
}

} // namespace

int ftw(const char* dir, ftw_func fn, int descr) { return walk(dir, fn, nullptr, descr, 0, MODE_FTW); }

int nftw(const char* dir, nftw_func fn, int descr, int flags) {
    return walk(dir, nullptr, fn, descr, flags, MODE_NFTW);
}

} // namespace Kvo
