#include "midi_test_port.h"

#include <midi++/channel.h>
#include <midi++/parser.h>
#include <midi++/port.h>
#include <midi++/port_request.h>

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstring>
#include <string>

using MIDI::byte;
using MIDI::Channel;
using MIDI::Port;
using MIDI::PortRequest;
using qmtest::Bytes;
using qmtest::RecordingPort;

TEST(PortRequest, WordsGiveModeKindAndStatus) {
    struct Row {
        const char *dir, *kind;
        int mode;
        Port::Type type;
        PortRequest::Status status;
    };
    const Row rows[] = {
        {"inout", "fifo", O_RDWR, Port::FIFO, PortRequest::OK},
        {"OUT", "NULL", O_WRONLY, Port::Null, PortRequest::OK},
        {"input", "alsa/raw", O_RDONLY, Port::ALSA_RawMidi, PortRequest::OK},
        {"DUPLEX", "coremidi", O_RDWR, Port::CoreMidi_MidiPort, PortRequest::OK},
        {"in", "ALSA/SEQUENCER", O_RDONLY, Port::ALSA_Sequencer, PortRequest::OK},
        {"Output", "null", PortRequest::NoMode, Port::Null, PortRequest::Unknown},
        {"out", "Fifo", O_WRONLY, Port::Unknown, PortRequest::Unknown},
    };
    for (const Row& r : rows) {
        PortRequest req("/dev/x", "x", r.dir, r.kind);
        EXPECT_EQ(req.mode, r.mode) << r.dir << " " << r.kind;
        EXPECT_EQ(req.type, r.type) << r.dir << " " << r.kind;
        EXPECT_EQ(req.status, r.status) << r.dir << " " << r.kind;
    }
    PortRequest a("/dev/a", "tag-a", "in", "null");
    PortRequest b(a);
    a.set_tagname("other");
    PortRequest c;
    EXPECT_EQ(c.devname, nullptr);
    c = b;
    EXPECT_STREQ(b.tagname, "tag-a");
    EXPECT_STREQ(c.devname, "/dev/a");
    EXPECT_NE(c.devname, b.devname);
}

TEST(Port, DirectionsDecideParsersAndChannelWiring) {
    RecordingPort in(O_RDONLY), out(O_WRONLY), both(O_RDWR);
    EXPECT_TRUE(in.input() && !in.output());
    EXPECT_TRUE(!out.input() && out.output());
    EXPECT_TRUE(both.input() && both.output());
    EXPECT_EQ(out.number(), in.number() + 1);
    EXPECT_EQ(both.number(), in.number() + 2);
    EXPECT_EQ(in.channel(16), nullptr);
    EXPECT_EQ(in.channel(-1), nullptr);

    // Output-side channel state follows what passes the output parser.
    for (byte b : {0x93, 0x40, 0x7F}) {
        out.output()->scanner(b);
    }
    EXPECT_EQ(out.channel(3)->last_note_on(), 0x40);
    EXPECT_EQ(out.channel(3)->notes_on(), 1u);

    // clock: nothing on a read-only port, one 0xF8 elsewhere, 1 for a short write.
    EXPECT_EQ(in.clock(), 0);
    EXPECT_TRUE(in.written.empty());
    EXPECT_EQ(out.clock(), 0);
    EXPECT_EQ(out.written, Bytes{0xF8});
    out.accept = 0;
    EXPECT_EQ(out.clock(), 1);
}

TEST(Channel, StateFollowsIncomingTraffic) {
    RecordingPort port(O_RDWR);
    Channel& ch = *port.channel(0);
    EXPECT_EQ(port.channel(9)->program(), 9);

    // 14-bit pair: coarse 7 and fine 39.
    port.feed({0xB0, 7, 100, 39, 5});
    EXPECT_EQ(ch.controller_value(7), 12805.0f);
    EXPECT_TRUE(ch.controller_is_14bit(7));
    port.feed({7, 50});
    EXPECT_EQ(ch.controller_value(7), 6405.0f);
    port.feed({39, 9});
    EXPECT_EQ(ch.controller_value(7), 6409.0f);
    port.feed({64, 127});
    EXPECT_EQ(ch.controller_value(64), 127.0f);

    // Two on, three off: never below zero.
    port.feed({0x90, 60, 100, 62, 90, 0x80, 60, 0, 62, 0, 64, 10});
    EXPECT_EQ(ch.notes_on(), 0u);
    EXPECT_EQ(ch.last_note_on(), 62);
    EXPECT_EQ(ch.last_off_velocity(), 10);

    port.feed({0xA0, 60, 33, 0xD0, 44, 0xE0, 0x7F, 0x7F, 0xC0, 12});
    EXPECT_EQ(ch.poly_pressure(60), 33);
    EXPECT_EQ(ch.pressure(), 44);
    EXPECT_EQ(ch.pitchbend(), 16383);
    EXPECT_EQ(ch.program(), 12);

    int banks = 0, channel_banks = 0;
    port.input()->bank_change.connect([&](MIDI::Parser&, byte b) { banks += b; });
    port.input()->channel_bank_change[0].connect([&](MIDI::Parser&, byte b) { channel_banks += b; });
    port.feed({0xB0, 0, 3});
    EXPECT_EQ(ch.bank(), 3);
    EXPECT_EQ(banks, 3);
    EXPECT_EQ(channel_banks, 3);

    // Out-of-range numbers read 0 and write nothing.
    EXPECT_EQ(ch.controller_value(200), 0.0f);
    EXPECT_EQ(ch.controller_addr(128), nullptr);
    ch.set_controller(255, 1.0f);
    EXPECT_EQ(ch.poly_pressure(128), 0);

    // A system reset resets every channel and silences each.
    port.feed({0xFF});
    EXPECT_EQ(ch.controller_value(7), 0.0f);
    EXPECT_EQ(ch.program(), 0);
    ASSERT_EQ(port.written.size(), 48u);
    EXPECT_EQ(qmtest::hex(port.written.data() + 45, 3), "bf 7b 00");
}

TEST(Channel, MessagesOutAndControllerNames) {
    RecordingPort port(O_WRONLY);
    EXPECT_EQ(port.channel(2)->channel_msg(0xC5, 0x83, 0x40), 0);
    EXPECT_EQ(port.channel(2)->channel_msg(0x95, 0xBC, 0xC0), 0);
    EXPECT_EQ(port.channel(2)->channel_msg(0xF0, 1, 2), 0);
    EXPECT_EQ(qmtest::hex(port.written), "c2 03 92 3c 40");
    port.accept = 2;
    EXPECT_EQ(port.channel(1)->all_notes_off(), 1);

    EXPECT_EQ(MIDI::decode_controller_name("volume (7)"), 7);
    EXPECT_EQ(MIDI::decode_controller_name("ctrl 12"), 12);
    EXPECT_EQ(MIDI::decode_controller_name("lsb 3 (35)"), 35);
    for (int n = 0; n < 128; ++n) {
        EXPECT_EQ(MIDI::decode_controller_name(MIDI::controller_names[n]), n) << MIDI::controller_names[n];
    }
    EXPECT_STREQ(MIDI::controller_names[99], "nrpn msg (99)");
}
