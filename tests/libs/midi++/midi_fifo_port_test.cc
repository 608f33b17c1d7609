#include "midi_test_port.h"

#include <midi++/channel.h>
#include <midi++/fifomidi.h>
#include <midi++/nullmidi.h>

#include <kvo/pathscanner.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

using MIDI::byte;
using MIDI::FIFO_MidiPort;
using MIDI::PortRequest;
using qmtest::Bytes;

namespace {

class FifoFixture : public ::testing::Test {
  protected:
    qmtest::TempDir dir;
    std::string path = dir.fifo("midi0");
    int other = -1; // the far end of the pipe

    void TearDown() override {
        if (other >= 0) {
            close(other);
        }
    }
    Bytes drain() {
        Bytes got(4096);
        const ssize_t n = ::read(other, got.data(), got.size());
        got.resize(n > 0 ? size_t(n) : 0);
        return got;
    }
};

} // namespace

TEST_F(FifoFixture, BytesInBecomeMessages) {
    EXPECT_EQ(MIDI::FD_MidiPort::list_devices(), nullptr);
    other = open(path.c_str(), O_RDWR | O_NONBLOCK);
    PortRequest req(path, "in0", "in", "fifo");
    FIFO_MidiPort port(req);
    ASSERT_TRUE(port.ok());
    EXPECT_EQ(req.status, PortRequest::OK);
    EXPECT_EQ(port.type(), MIDI::Port::FIFO);
    EXPECT_EQ(port.selectable(), port.selectable());
    EXPECT_GE(port.selectable(), 0);

    std::vector<std::string> seen;
    port.input()->raw_preparse.connect([&](MIDI::Parser&, byte*, unsigned long n) { seen.push_back("pre " + std::to_string(n)); });
    port.input()->any.connect([&](MIDI::Parser&, byte* m, unsigned long n) { seen.push_back(qmtest::hex(m, n)); });
    port.input()->raw_postparse.connect([&](MIDI::Parser&, byte*, unsigned long) { seen.push_back("post"); });

    const Bytes msg{0x91, 0x3C, 0x40, 0xF8, 0xB1, 0x07};
    ASSERT_EQ(::write(other, msg.data(), msg.size()), 6);
    byte buf[64];
    EXPECT_EQ(port.read(buf, sizeof(buf)), 6);
    EXPECT_EQ(seen, (std::vector<std::string>{"pre 6", "91 3c 40", "f8", "post"}));
    EXPECT_EQ(port.get_bytes_read(), 6u);

    // The rest of the controller message comes through the event-loop adapter.
    ASSERT_EQ(::write(other, "\x64", 1), 1);
    MIDI::Port::gtk_read_callback(&port, port.selectable(), 0);
    EXPECT_EQ(port.channel(1)->controller_value(7), 100.0f);

    EXPECT_EQ(port.read(buf, sizeof(buf)), -1) << "nothing waiting";
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(port.write(buf, 1), -13);

    // The directory and pattern of the first port that opened: "." and "midi".
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    std::vector<std::string*>* devices = MIDI::FD_MidiPort::list_devices();
    ASSERT_NE(devices, nullptr);
    ASSERT_EQ(devices->size(), 1u);
    EXPECT_EQ(*devices->front(), "./midi0");
    vector_delete(devices);
    delete devices;
}

TEST_F(FifoFixture, BytesOutReachThePipeAndTheOutputParser) {
    other = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    PortRequest req(path, "out0", "out", "fifo");
    FIFO_MidiPort port(req);
    ASSERT_TRUE(port.ok());
    byte buf[8] = {};
    EXPECT_EQ(port.read(buf, sizeof(buf)), -13);

    EXPECT_EQ(port.channel(4)->channel_msg(0x90, 60, 99), 0);
    EXPECT_EQ(drain(), (Bytes{0x94, 60, 99}));
    EXPECT_EQ(port.channel(4)->last_note_on(), 60);
    EXPECT_EQ(port.get_bytes_written(), 3u);

    // Slow writing stops at the first byte the pipe refuses.
    ASSERT_GT(fcntl(other, F_SETPIPE_SZ, 4096), 0);
    const int room = fcntl(other, F_GETPIPE_SZ);
    Bytes fill(size_t(room) - 2, 0x10);
    size_t filled = 0;
    while (filled < fill.size()) {
        const ssize_t n = ::write(port.selectable(), fill.data() + filled, fill.size() - filled);
        ASSERT_GT(n, 0);
        filled += size_t(n);
    }
    port.set_slowdown(1);
    unsigned long parsed = 0;
    port.output()->raw_postparse.connect([&](MIDI::Parser&, byte*, unsigned long n) { parsed = n; });
    byte note[3] = {0x95, 62, 70};
    EXPECT_EQ(port.write(note, 3), 2);
    EXPECT_EQ(parsed, 2u);
    EXPECT_EQ(port.get_bytes_written(), 5u);
}

TEST_F(FifoFixture, OpenFailuresSetTheStatus) {
    qmtest::ChannelRecorder rec;
    PortRequest missing(dir.path + "/nothing", "x", "duplex", "fifo");
    FIFO_MidiPort gone(missing);
    EXPECT_FALSE(gone.ok());
    EXPECT_EQ(missing.status, PortRequest::NoSuchFile);
    EXPECT_TRUE(rec.heard_text("MIDI: no such port device"));
    EXPECT_EQ(gone.selectable(), -1);
    EXPECT_TRUE(rec.heard_text("FD_MidiPort: could not turn on non-blocking mode (Bad file descriptor)"));

    // A write-only pipe with no reader cannot open; no message for that.
    rec.heard.clear();
    PortRequest lonely(path, "x", "out", "fifo");
    FIFO_MidiPort no_reader(lonely);
    EXPECT_FALSE(no_reader.ok());
    EXPECT_EQ(lonely.status, PortRequest::Unknown);
    EXPECT_TRUE(rec.heard.empty());

    PortRequest bad_mode(path, "x", "sideways", "fifo");
    FIFO_MidiPort refused(bad_mode);
    EXPECT_FALSE(refused.ok());
}

TEST(NullPort, TakesEverythingSendsNothing) {
    PortRequest req("/dev/whatever", "mine", "duplex", "null");
    MIDI::Null_MidiPort port(req);
    byte msg[5] = {0x90, 1, 2, 3, 4};
    EXPECT_EQ(port.write(msg, 5), 5);
    EXPECT_EQ(port.read(msg, 5), 0);
    EXPECT_EQ(port.selectable(), -1);
    EXPECT_STREQ(port.name(), "null");
    EXPECT_STREQ(port.device(), "nullmidi");
    EXPECT_EQ(port.type(), MIDI::Port::Null);
    EXPECT_TRUE(port.ok());
}
