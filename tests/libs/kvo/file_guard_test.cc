// Saves of files named from outside: the file is replaced whole, through its
// links and with its mode, and a save dropped or killed half-way leaves the
// old file and at most one side file, which the next save takes over.
#include <kvo/file_guard.h>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "file_fixture.h"

using Kvo::FileSave;
using qmtest::ScratchDir;

namespace {

std::string bytes_of(const std::string& path)
{
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

void put(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

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
// the fixed hidden name it falls back to elsewhere.
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
    for (const std::string link : {"rel", "abs", "takes/up", "dangling"}) {
        SCOPED_TRACE(link);
        ASSERT_TRUE(save(d.path(link), "via " + link));
        EXPECT_TRUE(is_link(d.path(link)));
        EXPECT_EQ(bytes_of(d.path(link == "dangling" ? "takes/new" : "takes/real")), "via " + link);
    }
    testing::internal::CaptureStderr();
    EXPECT_FALSE(save(d.path("loop1"), "x"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), d.path("loop1") + ": too many levels of symbolic links\n");
    EXPECT_EQ(d.entries(), (std::set<std::string>{"abs", "dangling", "loop1", "loop2", "rel", "takes"}));
}

// Killed without a word: no destructor runs.
TEST_P(FileSaveTest, KilledSavesLeaveAtMostOneSideFileWhichTheNextSaveTakesOver)
{
    const std::string take = d.path("take");
    put(take, "old");
    for (int k = 0; k < 3; ++k) {
        const pid_t pid = fork();
        if (pid == 0) {
            FileSave f(take, GetParam());
            _exit(f.ok() && f.write("half", 4) ? 0 : 1);
        }
        int status = -1;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_EQ(status, 0);
    }
    EXPECT_EQ(bytes_of(take), "old");
    EXPECT_EQ(d.entries().size(), GetParam() == FileSave::Named ? 2u : 1u);
    ASSERT_TRUE(save(take, "new"));
    EXPECT_EQ(bytes_of(take), "new");
    EXPECT_EQ(d.entries(), std::set<std::string>{"take"});
}

// Two saves of one file at once: unnamed side files never meet, and the last
// to finish wins; a named one is the first save's until it ends.
TEST_P(FileSaveTest, TwoSavesAtOnceNeverMixTheirFiles)
{
    const std::string take = d.path("take");
    FileSave first(take, GetParam());
    ASSERT_TRUE(first.ok() && first.write("first", 5));
    testing::internal::CaptureStderr();
    const bool second = save(take, "second");
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(first.commit());
    if (GetParam() == FileSave::Named) {
        EXPECT_FALSE(second);
        EXPECT_EQ(err, take + ": another save to this file is under way\n");
        EXPECT_EQ(bytes_of(take), "first");
    } else {
        EXPECT_TRUE(second);
        EXPECT_EQ(bytes_of(take), "first");  // committed last
    }
    EXPECT_EQ(d.entries(), std::set<std::string>{"take"});
}

INSTANTIATE_TEST_SUITE_P(SideFiles, FileSaveTest, testing::Values(FileSave::Unnamed, FileSave::Named),
                         [](const testing::TestParamInfo<FileSave::SideFile>& p) {
                             return p.param == FileSave::Named ? "Named" : "Unnamed";
                         });

} // namespace
