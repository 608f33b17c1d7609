#include "midi_test_port.h"

#include <midi++/channel.h>
#include <midi++/coremidi_midiport.h>

#include <CoreMIDI/CoreMIDI.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using MIDI::byte;
using MIDI::CoreMidi_MidiPort;
using MIDI::PortRequest;

namespace {

std::string name_of(MIDIObjectRef obj) {
    CFStringRef s = nullptr;
    if (MIDIObjectGetStringProperty(obj, kMIDIPropertyName, &s) != noErr) {
        return "?";
    }
    char buf[256];
    const bool got = CFStringGetCString(s, buf, sizeof(buf), kCFStringEncodingUTF8);
    CFRelease(s);
    return got ? buf : "?";
}

MIDIEndpointRef find(bool source, const std::string& name) {
    const ItemCount n = source ? MIDIGetNumberOfSources() : MIDIGetNumberOfDestinations();
    for (ItemCount i = 0; i < n; ++i) {
        const MIDIEndpointRef e = source ? MIDIGetSource(i) : MIDIGetDestination(i);
        if (name_of(e) == name) {
            return e;
        }
    }
    return 0;
}

// Another application on the same MIDI system.
struct Peer {
    MIDIClientRef client = 0;
    MIDIPortRef in = 0, out = 0;
    std::vector<std::pair<MIDITimeStamp, qmtest::Bytes>> heard;

    Peer() {
        MIDIClientCreate(CFSTR("peer"), nullptr, nullptr, &client);
        MIDIInputPortCreate(client, CFSTR("peer in"), &Peer::read, this, &in);
        MIDIOutputPortCreate(client, CFSTR("peer out"), &out);
    }
    ~Peer() { MIDIClientDispose(client); }
    static void read(const MIDIPacketList* list, void* self, void*) {
        const MIDIPacket* p = &list->packet[0];
        for (UInt32 i = 0; i < list->numPackets; ++i, p = MIDIPacketNext(p)) {
            static_cast<Peer*>(self)->heard.emplace_back(p->timeStamp, qmtest::Bytes(p->data, p->data + p->length));
        }
    }
};

} // namespace

TEST(CoreMidiPort, PublishesEndpointsAndCarriesBothWays) {
    const ItemCount sources = MIDIGetNumberOfSources();
    PortRequest req("Quillomat", "qm", "duplex", "coremidi");
    {
        CoreMidi_MidiPort port(req);
        ASSERT_TRUE(port.ok());
        EXPECT_EQ(req.status, PortRequest::OK);
        EXPECT_EQ(port.type(), MIDI::Port::CoreMidi_MidiPort);
        const MIDIEndpointRef dest = find(false, "qm_in");
        const MIDIEndpointRef src = find(true, "qm_out");
        ASSERT_NE(dest, 0u);
        ASSERT_NE(src, 0u);

        // In: two packets of one list reach the input parser in order.
        Peer peer;
        std::vector<std::string> seen;
        port.input()->raw_preparse.connect(
            [&](MIDI::Parser&, byte*, unsigned long n) { seen.push_back("pre " + std::to_string(n)); });
        port.input()->any.connect([&](MIDI::Parser&, byte* m, unsigned long n) { seen.push_back(qmtest::hex(m, n)); });
        alignas(MIDIPacketList) Byte buf[256];
        MIDIPacketList* list = reinterpret_cast<MIDIPacketList*>(buf);
        MIDIPacket* p = MIDIPacketListInit(list);
        const Byte note[3] = {0x92, 0x3C, 0x41}, ctl[4] = {0xB2, 0x07, 0xF8, 0x64};
        p = MIDIPacketListAdd(list, sizeof(buf), p, 1, 3, note);
        p = MIDIPacketListAdd(list, sizeof(buf), p, 2, 4, ctl);
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(MIDISend(peer.out, dest, list), noErr);
        EXPECT_EQ(seen, (std::vector<std::string>{"pre 3", "92 3c 41", "pre 4", "f8", "b2 07 64"}));
        EXPECT_EQ(port.get_bytes_read(), 7u);
        EXPECT_EQ(port.channel(2)->controller_value(7), 100.0f);

        // Out: one stamped packet per write; one that cannot fit is not sent.
        ASSERT_EQ(MIDIPortConnectSource(peer.in, src, nullptr), noErr);
        const MIDITimeStamp before = CoreMidi_MidiPort::MIDIGetCurrentHostTime();
        EXPECT_EQ(port.channel(5)->channel_msg(0x90, 60, 90), 0);
        std::vector<byte> big(1100, 0x10);
        EXPECT_EQ(port.write(big.data(), big.size()), 0);
        std::vector<byte> sysex(1000, 0x11);
        sysex.front() = 0xF0;
        sysex.back() = 0xF7;
        EXPECT_EQ(port.write(sysex.data(), sysex.size()), 1000);
        ASSERT_EQ(peer.heard.size(), 2u);
        EXPECT_EQ(peer.heard[0].second, (qmtest::Bytes{0x95, 60, 90}));
        EXPECT_GE(peer.heard[0].first, before);
        EXPECT_EQ(peer.heard[1].second, sysex);
        EXPECT_EQ(port.get_bytes_written(), 1003u);
    }
    EXPECT_EQ(MIDIGetNumberOfSources(), sources);
    EXPECT_EQ(find(false, "qm_in"), 0u);
}
