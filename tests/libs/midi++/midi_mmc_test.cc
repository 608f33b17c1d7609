#include "midi_test_port.h"

#include <midi++/mmc.h>

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstdio>
#include <string>
#include <vector>

using MIDI::byte;
using MIDI::MachineControl;

namespace {

class MmcFixture : public ::testing::Test, public SigC::Object {
  protected:
    qmtest::RecordingPort port{O_RDONLY};
    MachineControl::CommandSignature cmds{};
    MachineControl::ResponseSignature resp{};
    MachineControl mmc{port, 1.0f, cmds, resp};
    std::vector<std::string> log;

    void SetUp() override {
        auto named = [this](const char* n) { return [this, n](MachineControl&) { log.push_back(n); }; };
        mmc.Stop.connect(named("Stop"));
        mmc.Play.connect(named("Play"));
        mmc.MmcReset.connect(named("MmcReset"));
        mmc.JogStart.connect(named("JogStart"));
        mmc.Step.connect([this](MachineControl&, int s) { log.push_back("Step " + std::to_string(s)); });
        mmc.Shuttle.connect([this](MachineControl&, float speed, bool fwd) {
            char b[64];
            std::snprintf(b, sizeof(b), "Shuttle %g %s", speed, fwd ? "fwd" : "back");
            log.push_back(b);
        });
        mmc.TrackRecordStatusChange.connect([this](MachineControl&, unsigned long t, bool on) {
            log.push_back("Track " + std::to_string(t) + (on ? " on" : " off"));
        });
        mmc.Locate.connect([this](MachineControl&, const byte* t) { log.push_back("Locate " + qmtest::hex(t, 5)); });
    }
};

struct MmcCase {
    std::vector<int> in;
    std::vector<std::string> out;
};

} // namespace

TEST_F(MmcFixture, CommandsAndTruncatedMessages) {
    const MmcCase cases[] = {
        {{0xF0, 0x7F, 0x7F, 0x06, 0x02, 0xF7}, {"Play"}},
        {{0xF0, 0x7F, 0x7F, 0x06, 0x01, 0x02, 0x0D, 0x20, 0xF7}, {"Stop", "Play", "MmcReset", "JogStart"}},
        {{0xF0, 0x7F, 0x7F, 0x07, 0x01, 0xF7}, {"Stop"}},
        {{0xF0, 0x7F, 0x05, 0x06, 0x01, 0xF7}, {}},
        {{0xF0, 0x7F, 0x7F, 0x06, 0x48, 0x01, 0x43, 0x48, 0x01, 0x03, 0xF7}, {"Step -3", "Step 3"}},
        {{0xF0, 0x7F, 0x7F, 0x06, 0x47, 0x03, 0x01, 0x00, 0x00, 0xF7}, {"Shuttle 1 fwd"}},
        {{0xF0, 0x7F, 0x7F, 0x06, 0x47, 0x03, 0x41, 0x40, 0x00, 0xF7}, {"Shuttle 1.5 back"}},
        // Shift 1: the top bit of the middle byte is the last integral bit.
        {{0xF0, 0x7F, 0x7F, 0x06, 0x47, 0x03, 0x08, 0x60, 0x00, 0xF7}, {"Shuttle 1.5 fwd"}},
        {{0xF0, 0x7F, 0x7F, 0x06, 0x41, 0x04, 0x4F, 0x01, 0x03, 0x01, 0xF7}, {"Track 2 on", "Track 3 off"}},
        // Byte 0 covers tracks -5 to 1; byte 8 and up lie past the 48 tracks.
        {{0xF0, 0x7F, 0x7F, 0x06, 0x41, 0x04, 0x4F, 0x00, 0x7F, 0x7F, 0xF7}, {"Track 0 on", "Track 1 on"}},
        {{0xF0, 0x7F, 0x7F, 0x06, 0x41, 0x04, 0x4F, 0x07, 0x7F, 0x00, 0x41, 0x04, 0x4F, 0x7F, 0x7F, 0x7F, 0xF7},
         {"Track 44 off", "Track 45 off", "Track 46 off", "Track 47 off"}},
        {{0xF0, 0x7F, 0x7F, 0x06, 0x44, 0x06, 0x01, 0x21, 0x02, 0x03, 0x04, 0x05, 0xF7}, {"Locate 21 02 03 04 05"}},
        {{0xF0, 0x7F, 0x7F, 0x06, 0x60, 0x01, 0x00, 0x40, 0x00, 0x02, 0xF7}, {"Play"}},
        // Cut short: counts that run past the end decode nothing.
        {{0xF0, 0x7F, 0x7F, 0x06, 0x44, 0x06, 0x01, 0x01, 0x02, 0xF7}, {}},
        {{0xF0, 0x7F, 0x7F, 0x06, 0x48, 0xF7}, {}},
        {{0xF0, 0x7F, 0x7F, 0x06, 0x48, 0x01, 0xF7}, {}},
        {{0xF0, 0x7F, 0x7F, 0x06, 0x41, 0x02, 0x4F, 0x01, 0xF7}, {}},
        {{0xF0, 0x7F, 0x7F, 0x06, 0x47, 0x01, 0x01, 0xF7}, {}},
        {{0xF0, 0x7F, 0x7F, 0x06, 0x01, 0x02, 0x80}, {"Stop", "Play"}},
        {{0xF0, 0x7F, 0x7F, 0x06, 0x48, 0x01, 0x90}, {}},
    };
    for (const MmcCase& c : cases) {
        log.clear();
        for (int b : c.in) {
            port.input()->scanner(byte(b));
        }
        EXPECT_EQ(log, c.out) << qmtest::hex(std::vector<byte>(c.in.begin(), c.in.end()));
    }
    EXPECT_TRUE(mmc.track_record_status(2));
    EXPECT_FALSE(mmc.track_record_status(3));
    EXPECT_FALSE(mmc.track_record_status(48));
}

TEST_F(MmcFixture, DeviceIdAndReports) {
    qmtest::ChannelRecorder rec;
    mmc.set_device_id(0x85);
    EXPECT_EQ(mmc.device_id(), 5);
    port.feed({0xF0, 0x7F, 0x05, 0x06, 0x01, 0xF7});
    port.feed({0xF0, 0x7F, 0x05, 0x06, 0x60, 0x00, 0x40, 0x00, 0x44, 0x01, 0x00, 0x41, 0x01, 0x10, 0xF7});
    EXPECT_EQ(log, std::vector<std::string>{"Stop"});
    using H = std::vector<std::pair<Transmitter::Channel, std::string>>;
    EXPECT_EQ(rec.heard, (H{{Transmitter::Error, "MIDI::MachineControl: unknown MMC command 60"},
                            {Transmitter::Error, "MIDI::MachineControl: unimplemented MMC command 40"},
                            {Transmitter::Warning, "MIDI::MMC: locate [I/F] command not supported"},
                            {Transmitter::Warning, "MIDI::MachineControl: masked write to 10 not implemented"}}));

    qmtest::RecordingPort out_only{O_WRONLY};
    MachineControl useless{out_only, 1.0f, cmds, resp};
    EXPECT_TRUE(rec.heard_text("MMC connected to a non-input port: useless!"));
    EXPECT_EQ(MachineControl::mmc_cmd_map.size(), 39u);
    EXPECT_EQ(MachineControl::mmc_cmd_map[0x4B], "MtcCommand");
}
