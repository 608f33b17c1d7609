// Saves of files named from outside: the file is replaced whole, through its
// links and with its mode, and a save dropped or killed half-way leaves the
// old file and at most one side file, which the next save removes. Files
// that must keep their links or owner are written in place, keeping the old
// contents under a name meanwhile, and what the saver may not write, or
// another holds locked, is refused.
#include <kvo/file_guard.h>

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <tuple>

#include "file_fixture.h"

using Kvo::FileSave;
using qmtest::bytes_of;
using qmtest::put;
using qmtest::ScratchDir;

namespace {

mode_t mode_of(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

bool is_link(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Both ways of making the side file: unnamed where the system allows it, and
// the hidden name it falls back to elsewhere.
class FileSaveTest : public testing::TestWithParam<FileSave::SideFile> {
protected:
    bool save(const std::string& path, const std::string& text)
    {
        FileSave f(path, GetParam());
        return f.ok() && f.write(text.data(), text.size()) && f.commit();
    }
    ScratchDir d;
};

TEST_P(FileSaveTest, TheOldFileStaysWholeUntilTheNewOneIsAndKeepsItsMode)
{
    const std::string take = d.path("take");
    put(take, "old take");
    ASSERT_EQ(chmod(take.c_str(), 0640), 0);
    {
        FileSave f(take, GetParam());
        ASSERT_TRUE(f.ok() && f.write("new", 3) && f.rewind() && f.write("newer", 5));
        EXPECT_EQ(bytes_of(take), "old take");
    }  // dropped
    EXPECT_EQ(bytes_of(take), "old take");
    EXPECT_EQ(d.entries(), std::set<std::string>{"take"});

    ASSERT_TRUE(save(take, "new take"));
    EXPECT_EQ(bytes_of(take), "new take");
    EXPECT_EQ(mode_of(take), 0640u);
    EXPECT_EQ(d.entries(), std::set<std::string>{"take"});

    const mode_t mask = umask(027);
    ASSERT_TRUE(save(d.path("fresh"), "x"));
    umask(mask);
    EXPECT_EQ(mode_of(d.path("fresh")), 0640u);
}

TEST_P(FileSaveTest, SavesThroughLinksUpdateWhatTheyPointTo)
{
    ASSERT_EQ(mkdir(d.path("takes").c_str(), 0700), 0);
    put(d.path("takes/real"), "old");
    ASSERT_EQ(symlink("takes/real", d.path("rel").c_str()), 0);
    ASSERT_EQ(symlink(d.path("rel").c_str(), d.path("abs").c_str()), 0);
    ASSERT_EQ(symlink("../abs", d.path("takes/up").c_str()), 0);  // relative to its own directory
    ASSERT_EQ(symlink("takes/new", d.path("dangling").c_str()), 0);
    ASSERT_EQ(symlink("loop2", d.path("loop1").c_str()), 0);
    ASSERT_EQ(symlink("loop1", d.path("loop2").c_str()), 0);
    for (const std::string link : {"rel", "abs", "takes/up"}) {
        SCOPED_TRACE(link);
        ASSERT_TRUE(save(d.path(link), "via " + link));
        EXPECT_TRUE(is_link(d.path(link)));
        EXPECT_EQ(bytes_of(d.path("takes/real")), "via " + link);
    }
    // A link to nothing makes no file where it points; a loop of links ends.
    const std::pair<std::string, std::string> refused[] = {{"dangling", "a symbolic link to nothing"},
                                                           {"loop1", strerror(ELOOP)}};
    for (const auto& r : refused) {
        testing::internal::CaptureStderr();
        EXPECT_FALSE(save(d.path(r.first), "x"));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), d.path(r.first) + ": " + r.second + "\n");
    }
    EXPECT_EQ(d.entries(), (std::set<std::string>{"abs", "dangling", "loop1", "loop2", "rel", "takes"}));
    EXPECT_EQ(d.entries("takes"), (std::set<std::string>{"real", "up"}));
}

// Killed without a word: no destructor runs. A named side file never has the
// name of the last one, which another user could have made first.
TEST_P(FileSaveTest, KilledSavesLeaveAtMostOneSideFileWhichTheNextSaveRemoves)
{
    const std::string take = d.path("take");
    put(take, "old");
    std::set<std::string> sides;
    for (int k = 0; k < 3; ++k) {
        const pid_t pid = fork();
        if (pid == 0) {
            FileSave f(take, GetParam());
            _exit(f.ok() && f.write("half", 4) ? 0 : 1);
        }
        int status = -1;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_EQ(status, 0);
        std::set<std::string> now = d.entries();
        now.erase("take");
        EXPECT_EQ(now.size(), GetParam() == FileSave::Named ? 1u : 0u);
        sides.insert(now.begin(), now.end());
    }
    EXPECT_EQ(bytes_of(take), "old");
    EXPECT_EQ(sides.size(), GetParam() == FileSave::Named ? 3u : 0u);
    ASSERT_TRUE(save(take, "new"));
    EXPECT_EQ(bytes_of(take), "new");
    EXPECT_EQ(d.entries(), std::set<std::string>{"take"});
}

// Two saves of one file at once: their side files never meet, and the last
// to finish wins.
TEST_P(FileSaveTest, TwoSavesAtOnceNeverMixTheirFiles)
{
    const std::string take = d.path("take");
    FileSave first(take, GetParam());
    ASSERT_TRUE(first.ok() && first.write("first", 5));
    EXPECT_TRUE(save(take, "second"));
    ASSERT_TRUE(first.commit());
    EXPECT_EQ(bytes_of(take), "first");
    EXPECT_EQ(d.entries(), std::set<std::string>{"take"});
}

// Root may write any file: one that nobody may write is kept all the same,
// whether it would be replaced or written in place. (Any other user is
// refused by the system itself.)
TEST_P(FileSaveTest, AFileNobodyMayWriteIsRefusedAlsoToRoot)
{
    const std::string take = d.path("take");
    put(take, "old take");
    ASSERT_EQ(chmod(take.c_str(), 0444), 0);
    for (const bool linked : {false, true}) {
        SCOPED_TRACE(linked ? "in place" : "beside");
        if (linked) {
            ASSERT_EQ(link(take.c_str(), d.path("second").c_str()), 0);
        }
        testing::internal::CaptureStderr();
        EXPECT_FALSE(save(take, "new take"));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), take + ": " + strerror(EACCES) + "\n");
        EXPECT_EQ(bytes_of(take), "old take");
    }
}

// Modes count only for a user other than root: the saver is nobody where the
// tests run as root, and whoever runs them elsewhere.
const uid_t kSaver = 65534, kOther = 65533;
const gid_t kSaverGroup = 65534, kShared = 65532;

// One save in a child process, as the saver: whether it saved.
bool save_as_saver(const std::string& path, const std::string& text)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (getuid() == 0 && (setgroups(1, &kShared) != 0 || setgid(kSaverGroup) != 0 || setuid(kSaver) != 0)) {
            _exit(2);
        }
        FileSave f(path);
        _exit(f.ok() && f.write(text.data(), text.size()) && f.commit() ? 0 : 1);
    }
    int status = -1;
    return waitpid(pid, &status, 0) == pid && status == 0;
}

bool own(const std::string& path, uid_t uid, gid_t gid, mode_t mode)
{
    return (getuid() != 0 || lchown(path.c_str(), uid, gid) == 0) && (S_ISLNK(mode) || chmod(path.c_str(), mode) == 0);
}

TEST(FileSaveRights, SavesRespectWhatTheSaverMayWriteAndKeepLinksAndOwners)
{
    const bool root = getuid() == 0;
    const uid_t me = root ? kSaver : getuid(), other = root ? kOther : getuid();
    const gid_t mine = root ? kSaverGroup : getgid();
    int protects = 0;
    std::ifstream("/proc/sys/fs/protected_symlinks") >> protects;
    ScratchDir d;
    ASSERT_EQ(chmod(d.dir.c_str(), 0755), 0);

    struct Case {
        const char* what;
        uid_t dir_owner;
        mode_t dir_mode;
        uid_t file_owner;
        gid_t file_group;
        mode_t file_mode;
        std::string saved_as;  // "hard": through a second hard link, "soft": a symbolic one
        const char* refusal;   // what a refused save says, or null when it saves
        bool needs_others;     // users besides the saver
    } cases[] = {
        {"read-only file", me, 0755, me, mine, 0444, "", strerror(EACCES), false},
        {"second hard link", me, 0755, me, mine, 0644, "hard", nullptr, false},
        {"directory the saver can't write", other, 0555, me, mine, 0644, "", nullptr, false},
        {"group-writable file of another user", 0, 0777, other, kShared, 0664, "", nullptr, true},
        // The kernel's protection of links in sticky world-writable directories.
        {"another user's link in a sticky directory", 0, 01777, me, mine, 0644, "soft", strerror(EACCES), true},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needs_others && (!root || (c.saved_as == "soft" && protects != 1))) {
            std::printf("not tried (needs %s): %s\n", root ? "fs.protected_symlinks" : "root", c.what);
            continue;
        }
        const std::string sub = std::to_string(n++), dir = d.path(sub), take = dir + "/take", second = dir + "/second";
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
        put(take, "old take");
        ASSERT_TRUE(own(take, c.file_owner, c.file_group, c.file_mode));
        if (!c.saved_as.empty()) {
            ASSERT_EQ(c.saved_as == "hard" ? link(take.c_str(), second.c_str()) : symlink("take", second.c_str()), 0);
            ASSERT_TRUE(c.saved_as == "hard" || own(second, kOther, kOther, S_IFLNK));
        }
        ASSERT_TRUE(own(dir, c.dir_owner, c.dir_owner, c.dir_mode));
        struct stat before, after;
        ASSERT_EQ(stat(take.c_str(), &before), 0);

        const std::string named = c.saved_as.empty() ? take : second;
        testing::internal::CaptureStderr();
        EXPECT_EQ(save_as_saver(named, "new take"), c.refusal == nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.refusal ? named + ": " + c.refusal + "\n" : "");
        chmod(dir.c_str(), 0755);  // so the scratch folder can go, also when not root
        EXPECT_EQ(bytes_of(take), c.refusal ? "old take" : "new take");
        // The same file, with its owner, group, mode and links; nothing beside it.
        ASSERT_EQ(stat(take.c_str(), &after), 0);
        EXPECT_EQ(std::make_tuple(after.st_ino, after.st_nlink, after.st_uid, after.st_gid, after.st_mode & 07777),
                  std::make_tuple(before.st_ino, before.st_nlink, c.file_owner, c.file_group, c.file_mode));
        EXPECT_EQ(d.entries(sub).size(), c.saved_as.empty() ? 1u : 2u);
    }
}

// ---- Saves in place

// Two savers of a file that is written in place, told to commit at the same
// moment: the file is one of their versions whole, never a mix.
TEST(FileSaveInPlace, TwoSavesAtOnceNeverMix)
{
    ScratchDir d;
    const std::string take = d.path("take");
    put(take, "old take");
    ASSERT_EQ(link(take.c_str(), d.path("second").c_str()), 0);
    const size_t size = 8u << 20;
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        int ready[2], go[2];
        ASSERT_EQ(pipe(ready), 0);
        ASSERT_EQ(pipe(go), 0);
        pid_t savers[2];
        for (int k = 0; k < 2; ++k) {
            savers[k] = fork();
            if (savers[k] == 0) {
                const std::string mine(size, "AB"[k]);
                FileSave f(take);
                const bool built = f.ok() && f.write(mine.data(), mine.size());
                char c = 0;
                if (write(ready[1], "r", 1) != 1 || read(go[0], &c, 1) != 1) {
                    _exit(2);
                }
                _exit(built && f.commit() ? 0 : 1);
            }
        }
        char r[2];
        for (size_t got = 0; got < 2;) {
            const ssize_t n = read(ready[0], r, 2 - got);
            ASSERT_GT(n, 0);
            got += (size_t)n;
        }
        ASSERT_EQ(write(go[1], "gg", 2), 2);
        for (pid_t p : savers) {
            int status = -1;
            ASSERT_EQ(waitpid(p, &status, 0), p);
        }
        for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);
        const std::string now = bytes_of(take);
        const size_t as = (size_t)std::count(now.begin(), now.end(), 'A');
        EXPECT_TRUE(now.size() == size && (as == 0 || as == size)) << as << " of " << now.size() << " bytes from A";
    }
}

// What an in-place save of `fresh` bytes over a take of `old` bytes did, on a
// file system of the given kind mounted for the child alone: "saved" or the
// refusal, then what the take holds. An ext2 image (no reserving of room)
// is filled until 60 KiB are left. "skip: why" where no mount can be made.
std::string save_in_place_on(const std::string& fs, size_t old, size_t fresh, const ScratchDir& d)
{
    const std::string mnt = d.path("mnt"), image = d.path("fs.img");
    mkdir(mnt.c_str(), 0755);
    int out[2];
    if (pipe(out) != 0) {
        return "skip: no pipe";
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(out[0]);
        auto say = [&](const std::string& text) {
            if (write(out[1], text.data(), text.size()) < 0) {
                _exit(1);
            }
            umount2(mnt.c_str(), MNT_DETACH);
            _exit(0);
        };
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            say(std::string("skip: no mount namespace: ") + strerror(errno));
        }
        if (fs == "ramfs") {
            if (mount("ramfs", mnt.c_str(), "ramfs", 0, nullptr) != 0) {
                say(std::string("skip: cannot mount ramfs: ") + strerror(errno));
            }
        } else if ((put(image, ""), truncate(image.c_str(), 2 << 20) != 0) ||
                   system(("mkfs.ext2 -q -F " + image + " >/dev/null 2>&1").c_str()) != 0 ||
                   system(("mount -o loop " + image + " " + mnt + " >/dev/null 2>&1").c_str()) != 0) {
            say("skip: cannot make and mount an ext2 image (mkfs.ext2, mount -o loop)");
        }
        const std::string take = mnt + "/take", before(old, 'A'), after(fresh, 'B');
        put(take, before);
        if (link(take.c_str(), (mnt + "/second").c_str()) != 0) {
            say("skip: no hard link");
        }
        struct statvfs fsv;
        if (fs == "ext2" && statvfs(mnt.c_str(), &fsv) == 0) {
            const size_t avail = (size_t)fsv.f_bavail * fsv.f_frsize;
            put(mnt + "/filler", std::string(avail > (60u << 10) ? avail - (60u << 10) : 0, 'F'));
        }
        std::string why;
        FileSave f(take, FileSave::Unnamed, &why);
        const bool saved = f.ok() && f.write(after.data(), after.size()) && f.commit();
        const std::string now = bytes_of(take);
        say((saved ? "saved" : "refused: " + why) + ", " +
            (now == before ? "old take" : now == after ? "new take" : "mixed: " + std::to_string(now.size())));
    }
    close(out[1]);
    std::string said;
    char buf[256];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) said.append(buf, (size_t)n);
    close(out[0]);
    waitpid(pid, nullptr, 0);
    return said;
}

// Where room cannot be reserved up front, the free space is checked
// against the growth: a save that cannot fit is refused before the file
// is touched. A file system that tells no sizes is written all the same.
TEST(FileSaveInPlace, RoomIsCheckedWhereItCannotBeReserved)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "mounting a small file system needs root";
    }
    const size_t KiB = 1024;
    struct Case {
        const char* fs;
        size_t old, fresh;
        std::string outcome;
    } cases[] = {
        {"ext2", 100 * KiB, 120 * KiB, "saved, new take"},
        {"ext2", 100 * KiB, 300 * KiB, std::string("refused: ") + strerror(ENOSPC) + ", old take"},
        {"ext2", 100 * KiB, 50 * KiB, "saved, new take"},
        {"ramfs", 100 * KiB, 300 * KiB, "saved, new take"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.fs) + " " + std::to_string(c.fresh / KiB) + " KiB");
        ScratchDir d;
        const std::string said = save_in_place_on(c.fs, c.old, c.fresh, d);
        if (said.compare(0, 5, "skip:") == 0) {
            GTEST_SKIP() << said;
        }
        EXPECT_EQ(said, c.outcome);
    }
}

// Before it writes, a save in place keeps the old contents under a name,
// beside the file or else among the temporary files. One that fails during
// the copy puts them back and leaves nothing behind; one that cannot keep
// them, or finds them kept already by a save that did not finish, is refused
// before the file is touched, and a reader of the file is told where they are.
TEST(FileSaveInPlace, TheOldContentsAreKeptUnderANameUntilTheNewOnesAreWhole)
{
    const size_t KiB = 1024;
    const ScratchDir d[3];
    const std::string big = strerror(EFBIG);
    const struct {
        const char* what;
        size_t old, fresh;
        rlim_t limit;
        bool left;  // a kept copy there from before
        std::string outcome;
    } cases[] = {
        {"the copy fails", 8 * KiB, 64 * KiB, 16 * KiB, false, big},
        {"the old take is past the limit", 64 * KiB, 8 * KiB, 16 * KiB, false,
         "cannot keep its old contents in " + d[1].dir + " (" + big + ") nor in " + d[1].path("tmp") + " (" + big +
             ")"},
        {"a kept copy from before", 8 * KiB, 64 * KiB, RLIM_INFINITY, true,
         "an earlier save of it did not finish and its old contents are kept in " + d[2].path(".take.qmkeep") +
             ": move them away first"},
    };
    const char* tmpdir = getenv("TMPDIR");
    const std::string was = tmpdir ? tmpdir : "";
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(cases[k].what);
        const std::string take = d[k].path("take"), kept = d[k].path(".take.qmkeep"), old(cases[k].old, 'A');
        const std::string fresh(cases[k].fresh, 'B');
        put(take, old);
        ASSERT_EQ(link(take.c_str(), d[k].path("second").c_str()), 0);
        ASSERT_EQ(mkdir(d[k].path("tmp").c_str(), 0700), 0);
        setenv("TMPDIR", d[k].path("tmp").c_str(), 1);
        if (cases[k].left) put(kept, "what the earlier save kept");
        std::string why;
        {
            FileSave f(take, FileSave::Unnamed, &why);
            ASSERT_TRUE(f.ok() && f.write(fresh.data(), fresh.size())) << why;
            qmtest::FileSizeLimit limit(cases[k].limit);  // once the new version is built
            EXPECT_FALSE(f.commit());
        }
        EXPECT_EQ(why, cases[k].outcome);
        EXPECT_EQ(bytes_of(take), old);
        EXPECT_EQ(d[k].entries().size(), cases[k].left ? 4u : 3u);
        EXPECT_TRUE(d[k].entries("tmp").empty());
        testing::internal::CaptureStderr();
        EXPECT_TRUE(Kvo::RegularFile(take).ok());
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  cases[k].left ? take + ": a save of it did not finish; its old contents are kept in " + kept + "\n"
                                : "");
    }
    tmpdir ? setenv("TMPDIR", was.c_str(), 1) : unsetenv("TMPDIR");
}

// ---- Locks

// Whatever kind of lock another program holds on a file, a save of it is
// refused at once and leaves it as it was, written in place or not; a load
// is refused only where the lock is for writing.
TEST(FileLocks, AnyLockOfAnotherProgramRefusesSavesAndAWriteLockRefusesLoads)
{
    const std::pair<const char*, bool> kinds[] = {
        // what, and whether it is for writing
        {"flock shared", false}, {"flock exclusive", true}, {"fcntl read", false}, {"fcntl write", true},
        {"lockf", true},         {"ofd read", false},       {"ofd write", true},
    };
    ScratchDir d;
    const std::string beside = d.path("beside"), in_place = d.path("in_place");
    put(beside, "old take");
    put(in_place, "old take");
    ASSERT_EQ(link(in_place.c_str(), d.path("second").c_str()), 0);
    const std::string locked = "locked by another program";
    for (const auto& k : kinds) {
        for (const std::string& path : {beside, in_place}) {
            SCOPED_TRACE(std::string(k.first) + ", " + path);
            qmtest::LockHolder holder(path, k.first);
            ASSERT_TRUE(holder.held);
            std::string saving, loading;
            EXPECT_FALSE(FileSave(path, FileSave::Unnamed, &saving).ok());
            EXPECT_EQ(saving, locked);
            EXPECT_EQ(bytes_of(path), "old take");
            EXPECT_EQ(Kvo::RegularFile(path, &loading).ok(), !k.second);
            EXPECT_EQ(loading, k.second ? locked : "");
        }
    }
    for (const std::string& path : {beside, in_place}) {
        FileSave f(path);
        EXPECT_TRUE(f.ok() && f.write("new take", 8) && f.commit());
        EXPECT_EQ(bytes_of(path), "new take");
    }
    EXPECT_EQ(d.entries(), (std::set<std::string>{"beside", "in_place", "second"}));
}

// Saves and loads within one program meet as two programs' do, and the
// refusal says that the holder is this program.
TEST(FileLocks, AHolderInThisProgramIsToldApart)
{
    ScratchDir d;
    const std::string take = d.path("take"), here = "locked by this program: another of its saves or loads holds it";
    put(take, "old take");
    for (const bool saving : {true, false}) {
        SCOPED_TRACE(saving ? "held by a save" : "held by a load");
        std::unique_ptr<FileSave> save(saving ? new FileSave(take) : nullptr);
        std::unique_ptr<Kvo::RegularFile> load(saving ? nullptr : new Kvo::RegularFile(take));
        ASSERT_TRUE(saving ? save->ok() : load->ok());
        std::string refused_save, refused_load;
        EXPECT_FALSE(FileSave(take, FileSave::Unnamed, &refused_save).ok());
        EXPECT_EQ(Kvo::RegularFile(take, &refused_load).ok(), !saving);
        EXPECT_EQ(refused_save, here);
        EXPECT_EQ(refused_load, saving ? here : "");
    }
    EXPECT_EQ(bytes_of(take), "old take");
}

INSTANTIATE_TEST_SUITE_P(SideFiles, FileSaveTest, testing::Values(FileSave::Unnamed, FileSave::Named),
                         [](const testing::TestParamInfo<FileSave::SideFile>& p) {
                             return p.param == FileSave::Named ? "Named" : "Unnamed";
                         });

} // namespace
