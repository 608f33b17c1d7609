// The MIDI text format: what it accepts, and the line of every mistake.
#include "midi_file.h"

#include <gtest/gtest.h>

using namespace qmhost;

namespace {

TEST(MidiFileTest, ReadsTimesAndMessagesInTimeOrder)
{
    std::vector<TimedMidi> m;
    std::string error;
    const char* text =
        "# a comment\n"
        "\n"
        "0.5s  90 3C 7F   # note on\n"
        "100   0xB0 0x07 0x64\n"
        "100   c1 05\n"
        "  24000 F8\n"
        "0     e0 00 40\n";
    ASSERT_TRUE(parse_midi_text(text, "m.txt", 48000, m, error)) << error;
    ASSERT_EQ(5u, m.size());
    uint64_t frames[] = {0, 100, 100, 24000, 24000};
    uint8_t status[] = {0xE0, 0xB0, 0xC1, 0x90, 0xF8};  // equal times keep the file's order
    uint8_t sizes[] = {3, 3, 2, 3, 1};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(frames[i], m[i].frame) << i;
        EXPECT_EQ(status[i], m[i].bytes[0]) << i;
        EXPECT_EQ(sizes[i], m[i].size) << i;
    }
    EXPECT_EQ(0x64, m[1].bytes[2]);
}

TEST(MidiFileTest, NamesTheLineOfEveryMistake)
{
    struct Case {
        const char* line;
        const char* reason;
    } cases[] = {
        {"abc 90 3C 7F", "bad time"},
        {"-5 90 3C 7F", "bad time"},
        {"1.5 90 3C 7F", "bad time"},
        {"-1s 90 3C 7F", "bad time"},
        {"10", "without a message"},
        {"10 3C 7F", "status byte"},
        {"10 90 3C", "too few"},
        {"10 90 3C 7F 01", "too many"},
        {"10 90 80 7F", "above 7F"},
        {"10 F0 01 F7", "not supported"},
        {"10 9G 3C 7F", "bad byte"},
        {"10 900 3C 7F", "bad byte"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        std::vector<TimedMidi> m;
        std::string error;
        EXPECT_FALSE(parse_midi_text(std::string("0 F8\n\n") + c.line + "\n", "m.txt", 48000, m, error));
        EXPECT_EQ(0u, error.find("m.txt:3: ")) << error;
        EXPECT_NE(std::string::npos, error.find(c.reason)) << error;
    }
    std::vector<TimedMidi> m;
    std::string error;
    EXPECT_FALSE(read_midi_file("/nonexistent.txt", 48000, m, error));
}

} // namespace
