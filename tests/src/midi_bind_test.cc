#include "midi_bind.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

using Quillomat::MidiBindInfo;
using Quillomat::MidiBindings;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

MidiBindInfo parse(const std::string& line)
{
    MidiBindInfo b;
    EXPECT_TRUE(b.unserialize(line)) << line;
    return b;
}

std::string saved(const MidiBindings& t)
{
    std::ostringstream out;
    EXPECT_TRUE(t.save_bindings(out));
    return out.str();
}

std::vector<MidiBindInfo> listing(const MidiBindings& t)
{
    std::vector<MidiBindInfo> v;
    t.get_bindings(v);
    return v;
}

} // namespace

TEST(MidiBindings, TextRoundTripKeepsSpacingOrderAndBounds)
{
    MidiBindings t;
    // Added out of key order; two share the key of note 60 on channel 0.
    for (const char* line : {"0 pc 5  hit undo -1  0 1  ", "1 n 60  susnote overdub 0  0 1  ",
                             "0 cc 7  set wet -1  0.100000001 1  gain", "0 n 60  note record 3  0 1  ",
                             "0 n 60  set feedback -2  1 0  "}) {
        ASSERT_TRUE(t.add_binding(parse(line)));
    }
    const std::string text = saved(t);
    EXPECT_EQ(text,
              "0 n 60  note record 3  0 1  \n"
              "0 n 60  set feedback -2  1 0  \n"
              "1 n 60  susnote overdub 0  0 1  \n"
              "0 cc 7  set wet -1  0.100000001 1  gain\n"
              "0 pc 5  hit undo -1  0 1  \n");

    // Back through a real file: same text, same records, bounds to the bit.
    char path[] = "/tmp/qm_bindings_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_TRUE(t.save_bindings(path));
    MidiBindings back;
    ASSERT_TRUE(back.load_bindings(path));
    std::remove(path);
    EXPECT_EQ(saved(back), text);
    EXPECT_EQ(listing(back)[3].lbound, 0.1f);
    EXPECT_EQ(back.bindings_map().begin()->first, 0x903C);
}

TEST(MidiBindings, DefaultsAndStyleWords)
{
    MidiBindInfo fresh;
    fresh.type = "cc";
    fresh.command = "set";
    fresh.control = "dry";
    EXPECT_EQ(fresh.serialize(), "0 cc 0  set dry -1  0 1  ");
    EXPECT_EQ(parse("3 cc 7 set dry").serialize(), "3 cc 7  set dry -1  0 1  ");
    EXPECT_EQ(parse("0 cc 7 set dry 0 0 1 g").style, MidiBindInfo::GainStyle);
    EXPECT_EQ(parse("0 cc 7 set dry 0 0 1 gx").style, MidiBindInfo::GainStyle);
    EXPECT_EQ(parse("0 cc 7 set dry 0 0 1 Gain").style, MidiBindInfo::NormalStyle);
    EXPECT_EQ(parse("+2 cc 7 set dry 0 -0.5 1.5\r").lbound, -0.5f);
}

TEST(MidiBindings, BadLinesAreRefusedWithTheirReasonAndTheRestKept)
{
    struct Case {
        const char* line;
        const char* message;
    };
    const Case cases[] = {
        {"0 cc 7 set", "ret: 4 invalid input line: 0 cc 7 set"},
        {"   ", "ret: -1 invalid input line:    "},
        {"0 cc 99999999999 set wet", "ret: 2 invalid input line: "},
        {"16 cc 7 set wet", "invalid midi binding: channel 16 is outside 0..15: 16 cc 7 set wet"},
        {"0 n 128 note record", "note 128 is outside 0..127"},
        {"0 cc -1 set wet", "controller -1 is outside 0..127"},
        {"0 at 7 set wet", "unknown message type 'at'"},
        {"0 cc 7 bump wet", "unknown action 'bump'"},
        {"0 cc 7 set wetness", "unknown command or control 'wetness'"},
        {"0 cc 7 set wet 200", "loop 200 is outside -2..127"},
        {"0 cc 7 set wet x", "loop 'x' is not a whole number"},
        {"0 cc 7 set wet -1 0 1x", "upper bound '1x' is not a number"},
        {"0 cc 7 set wet -1 nan 1", "bounds must be finite numbers"},
        {"0 cc 7 set wet -1 0 1 gain more", "unexpected 'more' after the style"},
        {"0 cc 7 set record", "'set' needs a control, 'record' is a command"},
        {"0 n 7 note wet", "'note' needs a command, 'wet' is a control"},
    };
    MidiBindings t;
    ASSERT_TRUE(t.add_binding(parse("0 cc 1 set rate")));
    std::string text = "# comment line\n\n";
    for (const Case& c : cases) {
        text += std::string(c.line) + "\n";
        CaptureStderr();
        MidiBindings one;
        std::istringstream in(std::string(c.line) + "\n");
        one.load_bindings(in);
        const std::string err = GetCapturedStderr();
        EXPECT_NE(err.find(c.message), std::string::npos) << c.line << " -> " << err;
        EXPECT_TRUE(one.bindings_map().empty()) << c.line;
    }
    // A line far longer than any binding, then good lines, the last without
    // a newline: reading goes on to the end.
    text += std::string(5000, 'x') + "\n0 cc 7 set wet\r\n0 cc 8 set dry";
    std::istringstream in(text);
    CaptureStderr();
    EXPECT_TRUE(t.load_bindings(in, false));
    GetCapturedStderr();
    const auto kept = listing(t);
    ASSERT_EQ(kept.size(), 2u);  // the old binding went: not appended
    EXPECT_EQ(kept[0].control, "wet");
    EXPECT_EQ(kept[1].control, "dry");
}

TEST(MidiBindings, AddRemoveAndDuplicates)
{
    MidiBindings t;
    const MidiBindInfo a = parse("0 cc 7 set wet -1 0 1");
    const MidiBindInfo a_gain = parse("0 cc 7 set wet -1 0 2 gain");
    const MidiBindInfo b = parse("0 cc 7 set dry");
    EXPECT_TRUE(t.add_binding(a));
    EXPECT_TRUE(t.add_binding(a_gain));
    EXPECT_TRUE(t.add_binding(b));
    EXPECT_EQ(listing(t).size(), 3u);

    EXPECT_TRUE(t.remove_binding(parse("0 cc 7 set feedback")));  // key there, no match
    EXPECT_TRUE(t.remove_binding(a_gain));  // equal to a: the first of them goes
    ASSERT_EQ(listing(t).size(), 2u);
    EXPECT_EQ(listing(t)[0].ubound, 2.0f);
    EXPECT_FALSE(t.remove_binding(parse("0 cc 9 set wet")));  // no such key

    EXPECT_TRUE(t.add_binding(a, true));
    ASSERT_EQ(listing(t).size(), 1u);
    EXPECT_TRUE(t.remove_binding(a));
    EXPECT_TRUE(t.bindings_map().empty());
}

TEST(MidiBindings, UnreadableAndUnwritableFiles)
{
    MidiBindings t;
    ASSERT_TRUE(t.add_binding(parse("0 cc 7 set wet")));
    CaptureStderr();
    EXPECT_FALSE(t.load_bindings("/nonexistent/bindings.txt", false));
    EXPECT_FALSE(t.load_bindings("/tmp", false));  // a directory
    EXPECT_FALSE(t.save_bindings("/nonexistent/bindings.txt"));
    const std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("quillomat warning: could not open for reading: /nonexistent/bindings.txt\n"),
              std::string::npos);
    EXPECT_NE(err.find("error: could not open for writing: /nonexistent/bindings.txt\n"), std::string::npos);
    EXPECT_EQ(listing(t).size(), 1u);
}
