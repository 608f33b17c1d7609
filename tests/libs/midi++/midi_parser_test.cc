#include "midi_test_port.h"

#include <midi++/parser.h>

#include "alloc_counter.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

using MIDI::byte;
using MIDI::EventTwoBytes;
using MIDI::Parser;
using qmtest::hex;

namespace {

// Writes one line per signal, in emission order.
struct Log : public SigC::Object {
    std::vector<std::string> lines;

    void add(const std::string& s) { lines.push_back(s); }

    explicit Log(Parser& p) {
        for (int ch = 0; ch < 16; ++ch) {
            const std::string c = std::to_string(ch);
            auto two = [this, c](const char* what) {
                return [this, c, what](Parser&, EventTwoBytes* tb) {
                    add(std::string(what) + c + " " + hex(&tb->note_number, 2));
                };
            };
            p.channel_note_on[ch].connect(two("on"));
            p.channel_note_off[ch].connect(two("off"));
            p.channel_poly_pressure[ch].connect(two("poly"));
            p.channel_controller[ch].connect(two("ctl"));
            p.channel_program_change[ch].connect([this, c](Parser&, byte b) { add("prog" + c + " " + hex(&b, 1)); });
            p.channel_pressure[ch].connect([this, c](Parser&, byte b) { add("press" + c + " " + hex(&b, 1)); });
            p.channel_pitchbend[ch].connect(
                [this, c](Parser&, MIDI::pitchbend_t v) { add("bend" + c + " " + std::to_string(v)); });
        }
        auto whole = [this](const char* what) {
            return [this, what](Parser&, byte* m, unsigned long n) { add(std::string(what) + " " + hex(m, n)); };
        };
        p.any.connect(whole("any"));
        p.sysex.connect(whole("sysex"));
        p.mmc.connect(whole("mmc"));
        p.mtc.connect(whole("mtc"));
        p.position.connect(whole("position"));
        p.song.connect(whole("song"));
        p.mtc_quarter_frame.connect([this](Parser&, byte b) { add("qf " + hex(&b, 1)); });
        p.mtc_time.connect([this](const byte* t, bool full) { add("time " + hex(t, 4) + (full ? " full" : "")); });
        p.mtc_status.connect([this](Parser::MTC_Status s) { add("status " + std::to_string(s)); });
        auto plain = [this](const char* what) { return [this, what](Parser&) { add(what); }; };
        p.tune.connect(plain("tune"));
        p.timing.connect(plain("timing"));
        p.start.connect(plain("start"));
        p.stop.connect(plain("stop"));
        p.contineu.connect(plain("continue"));
        p.active_sense.connect(plain("active"));
        p.reset.connect(plain("reset"));
    }
};

struct ParseCase {
    const char* name;
    qmtest::Bytes in;
    std::vector<std::string> out;
};

const ParseCase cases[] = {
    {"running status, velocity 0 is note-off",
     {0x90, 0x3C, 0x40, 0x3E, 0x40, 0x3C, 0x00},
     {"on0 3c 40", "any 90 3c 40", "on0 3e 40", "any 90 3e 40", "off0 3c 00", "any 90 3c 00"}},
    {"channel from the status byte, every channel kind",
     {0x8F, 1, 2, 0xA3, 4, 5, 0xB1, 7, 100, 0xC2, 5, 6, 0xD4, 9, 0xE0, 0x00, 0x40},
     {"off15 01 02", "any 8f 01 02", "poly3 04 05", "any a3 04 05", "ctl1 07 64", "any b1 07 64", "prog2 05",
      "any c2 05", "prog2 06", "any c2 06", "press4 09", "any d4 09", "bend0 8192", "any e0 00 40"}},
    {"clock inside sysex is announced at once; sysex stays whole",
     {0xF0, 0x43, 0xF8, 0x12, 0xF7},
     {"timing", "any f8", "sysex f0 43 12 f7", "any f0 43 12 f7"}},
    {"status byte ends an unterminated sysex and starts the next message",
     {0xF0, 0x01, 0x02, 0x80, 0x40, 0x00},
     {"sysex f0 01 02", "any f0 01 02", "off0 40 00", "any 80 40 00"}},
    {"active sensing disturbs nothing and never reaches any",
     {0x90, 0xFE, 0x3C, 0xFE, 0x40},
     {"active", "active", "on0 3c 40", "any 90 3c 40"}},
    {"real-time bytes between data bytes",
     {0xB0, 0x07, 0xFA, 0x64, 0xFB, 0xFC, 0xFF, 0xFD},
     {"start", "any fa", "ctl0 07 64", "any b0 07 64", "continue", "any fb", "stop", "any fc", "reset", "any ff",
      "any fd"}},
    {"system common messages cancel running status",
     {0xF2, 0x10, 0x20, 0x30, 0x40, 0xF3, 0x05, 0x06, 0xF6, 0x01},
     {"position f2 10 20", "any f2 10 20", "song f3 05", "any f3 05", "tune"}},
    {"tune request reaches its own signal only, between real-time bytes",
     {0xF6, 0xF8, 0xF6, 0xFA},
     {"tune", "timing", "any f8", "tune", "start", "any fa"}},
    {"undefined status bytes end the message in progress",
     {0x90, 0x3C, 0xF4, 0x3C, 0x40, 0xF5, 0x01, 0xF9, 0x01, 0x02, 0x03},
     {}},
    {"undefined status inside sysex ends and announces it",
     {0xF0, 0x7D, 0x01, 0xF9, 0x01},
     {"sysex f0 7d 01", "any f0 7d 01"}},
    {"data bytes before any status byte are dropped", {0x3C, 0x40, 0x00, 0x7F, 0xF7, 0x10}, {}},
    {"a new status abandons an incomplete message",
     {0x90, 0x3C, 0xB1, 0x07, 0x64},
     {"ctl1 07 64", "any b1 07 64"}},
    {"quarter frame", {0xF1, 0x23}, {"qf 23", "any f1 23"}},
    {"machine control is not plain sysex",
     {0xF0, 0x7F, 0x7F, 0x06, 0x02, 0xF7},
     {"mmc 7f 7f 06 02 f7", "any f0 7f 7f 06 02 f7"}},
    {"time code full frame",
     {0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x61, 0x02, 0x03, 0x04, 0xF7},
     {"mtc 7f 7f 01 01 61 02 03 04 f7", "time 04 03 02 01 full", "status 0", "any f0 7f 7f 01 01 61 02 03 04 f7"}},
    {"truncated input ends without an announcement", {0x90, 0x3C}, {}},
};

void scan(Parser& p, const qmtest::Bytes& in) {
    for (byte b : in) {
        p.scanner(b);
    }
}

class ParserFixture : public ::testing::Test {
  protected:
    qmtest::RecordingPort port{O_RDWR};
    Parser& p = *port.input();

    void feed(const qmtest::Bytes& in) { scan(p, in); }
};

} // namespace

TEST_F(ParserFixture, ByteStreamsBecomeMessages) {
    for (const ParseCase& c : cases) {
        Parser fresh(port);
        Log log(fresh);
        scan(fresh, c.in);
        EXPECT_EQ(log.lines, c.out) << c.name;
    }
}

TEST_F(ParserFixture, AllChannelSignalsMirrorThePerChannelOnes) {
    std::vector<std::string> seen;
    p.note_on.connect([&](Parser&, EventTwoBytes* tb) { seen.push_back("on " + hex(&tb->note_number, 2)); });
    p.note_off.connect([&](Parser&, EventTwoBytes* tb) { seen.push_back("off " + hex(&tb->note_number, 2)); });
    p.controller.connect([&](Parser&, EventTwoBytes* tb) { seen.push_back("ctl " + hex(&tb->note_number, 2)); });
    p.pitchbend.connect([&](Parser&, MIDI::pitchbend_t v) { seen.push_back("bend " + std::to_string(v)); });
    p.channel_active_preparse[5].connect([&](Parser&) { seen.push_back("pre5"); });
    p.channel_active_postparse[5].connect([&](Parser&) { seen.push_back("post5"); });
    feed({0x95, 0x3C, 0x40, 0x85, 0x3C, 0x00, 0xB9, 0x01, 0x02, 0xEF, 0x7F, 0x7F});
    EXPECT_EQ(seen, (std::vector<std::string>{"pre5", "on 3c 40", "post5", "pre5", "off 3c 00", "post5",
                                              "ctl 01 02", "bend 16383"}));
}

TEST_F(ParserFixture, LongSysexArrivesWholeAndAnOverlongOneIsDropped) {
    std::vector<unsigned long> lengths;
    p.sysex.connect([&](Parser&, byte* m, unsigned long n) {
        lengths.push_back(n);
        EXPECT_EQ(m[0], 0xF0);
        EXPECT_EQ(m[n / 2], 0x55);
    });
    auto send = [&](unsigned long body) {
        p.scanner(0xF0);
        for (unsigned long i = 0; i < body; ++i) {
            p.scanner(0x55);
        }
        p.scanner(0xF7);
    };
    send(1000);
    send(Parser::max_sysex_size + 10);
    feed({0x90, 0x3C, 0x40});
    send(3);
    EXPECT_EQ(lengths, (std::vector<unsigned long>{1002, 5}));
    EXPECT_EQ(p.message_counts()[0x90], 1u);
}

TEST_F(ParserFixture, StrayDataBytesAllocateNothing) {
    feed({0x90, 0x3C, 0x40, 0xF3, 0x01});
    qmtest::AllocationCounter allocations;
    for (int i = 0; i < 100000; ++i) {
        p.scanner(byte(i & 0x7F));
    }
    EXPECT_EQ(allocations.count(), 0u);
}

TEST_F(ParserFixture, EditHookAndCounters) {
    struct Row {
        int verdict;
        unsigned expect_note_count;
        bool expect_clock, expect_sysex;
    };
    for (const Row& r : {Row{0, 1, true, true}, Row{1, 0, true, true}, Row{-1, 0, false, false}}) {
        Parser fresh(port);
        Log log(fresh);
        fresh.edit.connect([&](byte*, unsigned long) { return r.verdict; });
        scan(fresh, {0x90, 0x3C, 0x40, 0xF8, 0xF0, 0x01, 0xF7});
        EXPECT_EQ(fresh.message_counts()[0x90], r.expect_note_count) << r.verdict;
        EXPECT_EQ(fresh.message_counts()[0xF8], r.expect_clock ? 1u : 0u) << r.verdict;
        auto has = [&](const std::string& s) {
            return std::find(log.lines.begin(), log.lines.end(), s) != log.lines.end();
        };
        EXPECT_EQ(has("on0 3c 40"), r.verdict == 0);
        EXPECT_EQ(has("timing"), r.expect_clock);
        EXPECT_EQ(has("sysex f0 01 f7"), r.expect_sysex);
    }
    // System messages count once under their own status.
    feed({0xF2, 0x01, 0x02, 0xF1, 0x10, 0xFE});
    EXPECT_EQ(p.message_counts()[0xF2], 1u);
    EXPECT_EQ(p.message_counts()[0xF1], 1u);
    EXPECT_EQ(p.message_counts()[0xF0], 0u);
    EXPECT_EQ(p.message_counts()[0xFE], 1u);
}

TEST_F(ParserFixture, TraceWritesOneLinePerMessage) {
    std::ostringstream out;
    p.trace(true, &out, "in: ");
    EXPECT_TRUE(p.tracing());
    feed({0x91, 0x3C, 0x40, 0xB0, 0x07, 0x64, 0xE0, 0x00, 0x40, 0xA0, 0x3C, 0x10, 0xF8, 0xFD, 0xF6, 0xF0, 0x43, 0x12,
          0xF7});
    p.trace(false, nullptr, "");
    feed({0xFA});
    EXPECT_FALSE(p.tracing());
    EXPECT_EQ(out.str(), "in: Channel 2 NoteOn NoteNum 60 Vel 64\n"
                         "in: Channel 1 Controller 7 Value 100\n"
                         "in: Channel 1 Pitch Bend 8192\n"
                         "in: Channel 1 PolyPressure60\n"
                         "in: Clock\n"
                         "in: System Exclusive (1 byte : fd)\n"
                         "in: Tune Request\n"
                         "in: System Exclusive (4) = [ f0 43 12 f7 ]\n");
    EXPECT_STREQ(Parser::midi_event_type_name(MIDI::contineu), "continue");
    EXPECT_STREQ(Parser::midi_event_type_name(MIDI::reset), "unknow MIDI event type");
}
