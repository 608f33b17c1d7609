#include "midi_test_port.h"

#include <midi++/parser.h>

#include <gtest/gtest.h>

#include <fcntl.h>

#include <string>
#include <vector>

using MIDI::byte;
using MIDI::Parser;

namespace {

struct Time {
    int fr, sc, mn, hr;
};

class MtcFixture : public ::testing::Test, public SigC::Object {
  protected:
    qmtest::RecordingPort port{O_RDONLY};
    Parser& p = *port.input();
    std::vector<std::string> times;
    std::vector<Parser::MTC_Status> statuses;

    void SetUp() override {
        p.mtc_time.connect([this](const byte* t, bool full) {
            times.push_back(qmtest::hex(t, 4) + (full ? " full" : ""));
        });
        p.mtc_status.connect([this](Parser::MTC_Status s) { statuses.push_back(s); });
    }

    // Quarter frame `piece` of time t at the given rate.
    void qf(const Time& t, int piece, int fps = MIDI::MTC_25_FPS) {
        const int fields[8] = {t.fr & 0xF, t.fr >> 4, t.sc & 0xF, t.sc >> 4,
                               t.mn & 0xF, t.mn >> 4, t.hr & 0xF, (t.hr >> 4) | (fps << 1)};
        port.feed({0xF1, (piece << 4) | fields[piece]});
    }
    void pieces(const Time& t, int from, int to) {
        const int step = from <= to ? 1 : -1;
        for (int i = from;; i += step) {
            qf(t, i);
            if (i == to) {
                break;
            }
        }
    }
};

} // namespace

TEST_F(MtcFixture, FullFrameSetsTimeAndRateAndStops) {
    port.feed({0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x61, 0x02, 0x03, 0x04, 0xF7});
    EXPECT_EQ(times, std::vector<std::string>{"04 03 02 01 full"});
    EXPECT_EQ(statuses, std::vector<Parser::MTC_Status>{Parser::MTC_Stopped});
    EXPECT_EQ(p.mtc_fps(), MIDI::MTC_30_FPS_DROP);
    EXPECT_EQ(qmtest::hex(p.mtc_current(), 4), "04 03 02 01");
    EXPECT_FALSE(p.mtc_locked());

    // A full frame of the wrong length or layout is plain sysex.
    int plain = 0;
    p.sysex.connect([&](Parser&, byte*, unsigned long) { ++plain; });
    port.feed({0xF0, 0x7F, 0x7F, 0x01, 0x02, 0x61, 0x02, 0x03, 0x04, 0xF7});
    port.feed({0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x61, 0x02, 0x03, 0xF7});
    EXPECT_EQ(plain, 2);
    EXPECT_EQ(times.size(), 1u);
}

TEST_F(MtcFixture, ForwardCycleLocksAtTheFirstWholeFrame) {
    const Time stale{0x1A, 0x3B, 0x2F, 0x17};
    const Time t1{0x04, 0x03, 0x02, 0x01};
    const Time t2{0x06, 0x03, 0x02, 0x01};
    qf(stale, 0); // cannot show a direction: ignored
    qf(stale, 7);
    EXPECT_TRUE(statuses.empty());
    pieces(stale, 3, 7); // direction found at piece 4; too few pieces to lock
    EXPECT_EQ(statuses, std::vector<Parser::MTC_Status>{Parser::MTC_Forward});
    EXPECT_TRUE(times.empty());
    pieces(t1, 0, 7);
    pieces(t2, 0, 7);
    // The stale pieces of the first, partial frame must not show.
    EXPECT_EQ(times, (std::vector<std::string>{"04 03 02 01", "06 03 02 01"}));
    EXPECT_TRUE(p.mtc_locked());
    EXPECT_EQ(p.mtc_running(), Parser::MTC_Forward);
    EXPECT_EQ(p.mtc_fps(), MIDI::MTC_25_FPS);
}

TEST_F(MtcFixture, OutOfOrderPieceRestartsTheCount) {
    const Time a{0x10, 0x20, 0x30, 0x11};
    const Time b{0x01, 0x02, 0x03, 0x04};
    pieces(a, 1, 7);
    pieces(a, 0, 7);
    ASSERT_EQ(times.size(), 1u);
    EXPECT_EQ(times[0], "10 20 30 11"); // the hours' top bit comes with the rate
    pieces(a, 0, 3);
    qf(a, 6); // skipped two: the count starts again and 7 is expected
    pieces(b, 0, 7); // 0 is out of order too, so 1 to 7 make only seven
    EXPECT_EQ(times.size(), 1u);
    pieces(b, 0, 7);
    ASSERT_EQ(times.size(), 2u);
    EXPECT_EQ(times[1], "01 02 03 04");
}

TEST_F(MtcFixture, BackwardRunCompletesAtPieceZero) {
    const Time t{0x07, 0x08, 0x09, 0x02};
    pieces(t, 6, 0);
    pieces(t, 7, 0);
    EXPECT_EQ(statuses, std::vector<Parser::MTC_Status>{Parser::MTC_Backward});
    EXPECT_EQ(times, std::vector<std::string>{"07 08 09 02"});
}

TEST_F(MtcFixture, FullFrameRestartsQuarterFrameLock) {
    const Time t{0x01, 0x01, 0x01, 0x01};
    pieces(t, 1, 7);
    pieces(t, 0, 7);
    ASSERT_TRUE(p.mtc_locked());
    p.set_mtc_forwarding(true);
    int forwarded = 0;
    p.sysex.connect([&](Parser&, byte*, unsigned long) { ++forwarded; });
    port.feed({0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x20, 0x00, 0x00, 0x09, 0xF7});
    EXPECT_EQ(forwarded, 1);
    EXPECT_FALSE(p.mtc_locked());
    EXPECT_EQ(p.mtc_running(), Parser::MTC_Stopped);
    EXPECT_EQ(p.mtc_fps(), MIDI::MTC_25_FPS);
    const Time u{0x09, 0x00, 0x00, 0x00};
    pieces(u, 1, 7);
    pieces(u, 0, 7);
    EXPECT_EQ(times.back(), "09 00 00 00");
    EXPECT_TRUE(p.mtc_locked());
}
