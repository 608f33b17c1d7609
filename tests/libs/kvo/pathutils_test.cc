#include <kvo/basename.h>
#include <kvo/dirname.h>
#include <kvo/ftw.h>
#include <kvo/mountpoint.h>
#include <kvo/pathscanner.h>
#include <kvo/transmitter.h>
#include <kvo/unescape.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::string c_result(char* s) {
    std::string r(s);
    std::free(s);
    return r;
}

struct Tree {
    std::string root;
    Tree() {
        char tmpl[] = "/tmp/qm_paths_XXXXXX";
        root = mkdtemp(tmpl);
    }
    ~Tree() { std::filesystem::remove_all(root); }
    void file(const std::string& rel) { std::ofstream(root + "/" + rel) << "x"; }
    void dir(const std::string& rel) { mkdir((root + "/" + rel).c_str(), 0700); }
};

std::vector<std::string> sorted(std::vector<std::string*>* v) {
    std::vector<std::string> out;
    for (std::string* s : *v) {
        out.push_back(*s);
    }
    vector_delete(v);
    EXPECT_TRUE(v->empty());
    delete v;
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

TEST(PathNames, BaseAndDirectoryNames) {
    struct Row {
        const char *path, *base, *dir_c, *dir_s;
    };
    const Row rows[] = {
        {"a/b/c", "c", "a/b", "a/b"}, {"a/b/", "", "", "a/b"}, {"name", "name", "name", "name"},
        {"/x", "x", "", ""},          {"/", "", "", ""},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(c_result(Kvo::basename(r.path)), r.base) << r.path;
        EXPECT_EQ(Kvo::basename(std::string(r.path)), r.base) << r.path;
        EXPECT_EQ(c_result(Kvo::dirname(r.path)), r.dir_c) << r.path;
        EXPECT_EQ(Kvo::dirname(std::string(r.path)), r.dir_s) << r.path;
    }
    EXPECT_EQ(Kvo::basename_nosuffix("/x/y.tar.gz"), "y.tar");
    EXPECT_EQ(Kvo::basename_nosuffix("/x.d/readme"), "readme");
    EXPECT_EQ(Kvo::mountpoint("/home/someone/file"), "/");
}

TEST(Unescape, EscapesExpandInPlace) {
    struct Row {
        std::string in, out;
    };
    const Row rows[] = {
        {"\\101", "A"},
        {"\\x41", "A"},
        {"\\q", "q"},
        {"\\101\\7", std::string("A\x07", 2)},
        {"\\x4a\\x4A\\x4", "JJ\x04"},
        {"a\\xg", std::string("a\0g", 3)},
        {"\\b\\f\\n\\r\\t\\v", "\b\f\n\r\t\v"},
        {"\\\"\\'\\\\", "\"'\\"},
        {"\\1012", "A2"},
        {"end\\", "end\\"},
        {"plain", "plain"},
    };
    for (const Row& r : rows) {
        std::vector<char> buf(r.in.begin(), r.in.end());
        buf.push_back('\0');
        buf.push_back('#'); // must stay untouched
        Kvo::unescape(buf.data());
        EXPECT_EQ(std::string(buf.data(), r.out.size()), r.out) << r.in;
        EXPECT_EQ(buf[r.out.size()], '\0') << r.in;
        EXPECT_EQ(buf.back(), '#') << r.in;
    }
}

TEST(PathScanner, ScansDirectoryListsWithLimits) {
    Tree one, two;
    for (const char* f : {"midi0", "midi1", "midi2", "other"}) {
        one.file(f);
    }
    two.file("midi3");
    const std::string both = one.root + ":" + two.root;

    PathScanner scan;
    EXPECT_EQ(sorted(scan(both, "midi[0-9]$", false, false)),
              (std::vector<std::string>{"midi0", "midi1", "midi2", "midi3"}));
    // The limit is checked after each directory: the second is never read.
    EXPECT_EQ(sorted(scan(both, "midi", false, false, 1)), (std::vector<std::string>{"midi0", "midi1", "midi2"}));
    EXPECT_EQ(sorted(scan(one.root + ":/no/such/dir:" + two.root, "^" + two.root + "/midi", true, true)),
              (std::vector<std::string>{two.root + "/midi3"}));
    EXPECT_EQ(scan("", "midi"), nullptr);
    EXPECT_EQ(scan(":" + one.root, "midi"), nullptr);

    std::string* first = scan.find_first(two.root + ":" + one.root, "midi", false, true);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(*first, two.root + "/midi3");
    delete first;
    auto is_other = [](const std::string& s, void* arg) { return s == *static_cast<std::string*>(arg); };
    std::string want = "other";
    first = scan.find_first(both, is_other, &want, false, false);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(*first, "other");
    delete first;
    want = "absent";
    EXPECT_EQ(scan.find_first(both, is_other, &want, false, false), nullptr);

    struct Heard : SigC::Object {
        std::vector<std::string> texts;
        void got(Transmitter::Channel, const char* t) { texts.push_back(t); }
    } heard;
    Kvo::error.sender().connect(SigC::slot(heard, &Heard::got));
    EXPECT_EQ(scan(both, "midi("), nullptr);
    EXPECT_EQ(scan.find_first(both, "[z"), nullptr);
    ASSERT_EQ(heard.texts.size(), 2u);
    EXPECT_EQ(heard.texts[0].rfind("Cannot compile soundfile regexp for use (", 0), 0u);
    EXPECT_EQ(heard.texts[0].back(), ')');
}

namespace {
std::vector<std::string> walked;
std::string walk_root;
// The path below walk_root, or "." for the root itself.
std::string relative(const std::string& path) {
    return path.size() > walk_root.size() ? path.substr(walk_root.size() + 1) : ".";
}
int record_nftw(const char* path, const struct stat*, int type, Kvo::FTW* f) {
    walked.push_back(relative(path) + " " + std::to_string(type) + " " + std::to_string(f->level) + " " +
                     std::string(path).substr(size_t(f->base)));
    return 0;
}
int record_ftw(const char* path, const struct stat*, int type) {
    walked.push_back(relative(path) + " " + std::to_string(type));
    return 0;
}
std::vector<std::string> take_walked() {
    std::vector<std::string> w = walked;
    walked.clear();
    std::sort(w.begin(), w.end());
    return w;
}
} // namespace

TEST(FileTreeWalk, ReportsEntriesByKind) {
    Tree t;
    t.dir("sub");
    t.file("sub/f");
    ASSERT_EQ(symlink("sub/f", (t.root + "/link").c_str()), 0);
    ASSERT_EQ(symlink("missing", (t.root + "/dangling").c_str()), 0);
    walk_root = t.root;

    // The start directory comes without its trailing '/'.
    EXPECT_EQ(Kvo::nftw((t.root + "/").c_str(), record_nftw, 4, Kvo::WALK_PHYS), 0);
    const std::string name = Kvo::basename(t.root);
    EXPECT_EQ(take_walked(), (std::vector<std::string>{". 0 0 " + name, "dangling 3 1 dangling", "link 3 1 link",
                                                       "sub 0 1 sub", "sub/f 2 2 f"}));

    // Followed links: a link to a file is a file; a dangling one is told
    // apart by nftw only.
    EXPECT_EQ(Kvo::nftw(t.root.c_str(), record_nftw, 4, 0), 0);
    EXPECT_EQ(take_walked(), (std::vector<std::string>{". 0 0 " + name, "dangling 6 1 dangling", "link 2 1 link",
                                                       "sub 0 1 sub", "sub/f 2 2 f"}));
    EXPECT_EQ(Kvo::ftw(t.root.c_str(), record_ftw, 4), 0);
    EXPECT_EQ(take_walked(), (std::vector<std::string>{". 0", "dangling 3", "link 2", "sub 0", "sub/f 2"}));

    // Depth first: directories come after their contents.
    walked.clear();
    EXPECT_EQ(Kvo::nftw(t.root.c_str(), record_nftw, 4, Kvo::WALK_PHYS | Kvo::WALK_DEPTH), 0);
    EXPECT_EQ(walked.back(), ". 0 0 " + name);
    take_walked();

    EXPECT_EQ(Kvo::ftw(t.root.c_str(), [](const char*, const struct stat*, int) { return 5; }, 4), 5);
    errno = 0;
    EXPECT_EQ(Kvo::ftw(t.root.c_str(), record_ftw, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(walked.empty());
    EXPECT_EQ(Kvo::ftw((t.root + "/none").c_str(), record_ftw, 4), 0);
    EXPECT_EQ(take_walked(), (std::vector<std::string>{"none 4"}));
}
