#include "midi_test_port.h"

#include <midi++/factory.h>
#include <midi++/manager.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

using MIDI::Manager;
using MIDI::Port;
using MIDI::PortRequest;

namespace {

class ManagerFixture : public ::testing::Test {
  protected:
    qmtest::TempDir dir;
    Manager m;
    qmtest::ChannelRecorder rec;

    PortRequest fifo_request(const std::string& dev, const char* tag, const char* mode) {
        return PortRequest(dev, tag, mode, "fifo");
    }
};

} // namespace

TEST_F(ManagerFixture, SpecificationsGiveTagAndMode) {
    struct Row {
        const char* suffix;
        const char* tag;
        int mode;
    };
    const std::string dev = dir.fifo("midi0");
    const Row rows[] = {{"", "midi0", O_RDWR}, {":foo:r", "foo", O_RDONLY}, {":foo:x", "foo", O_RDWR},
                        {":foo", "foo", O_RDWR}, {":bar:w", "bar", O_WRONLY}};
    const int reader = open(dev.c_str(), O_RDONLY | O_NONBLOCK); // lets a write-only end open
    for (const Row& r : rows) {
        ASSERT_EQ(Manager::parse_port_request(dev + r.suffix, Port::FIFO), 0) << r.suffix;
        Port* p = Manager::instance()->port(r.tag);
        ASSERT_NE(p, nullptr) << r.suffix;
        EXPECT_STREQ(p->device(), dev.c_str());
        EXPECT_EQ(p->mode(), r.mode) << r.suffix;
        EXPECT_EQ(Manager::instance()->remove_port(dev.c_str()), 0);
    }
    close(reader);
    EXPECT_EQ(Manager::parse_port_request("", Port::FIFO), -1);
    EXPECT_TRUE(rec.heard_text("MIDI: missing port specification"));
    delete Manager::instance();
}

TEST_F(ManagerFixture, SharingConflictsAndRemoval) {
    const std::string dev = dir.fifo("a");
    PortRequest r1 = fifo_request(dev, "one", "in");
    Port* in = m.add_port(r1);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(m.input_port(), in);
    EXPECT_EQ(m.output_port(), in);

    PortRequest r2 = fifo_request(dev, "two", "in");
    EXPECT_EQ(m.add_port(r2), in);
    EXPECT_EQ(m.port("one"), in);
    EXPECT_EQ(m.port("two"), in);

    PortRequest r3 = fifo_request(dev, "three", "duplex");
    EXPECT_EQ(m.add_port(r3), nullptr);
    EXPECT_TRUE(rec.heard_text("MIDIManager: port tagged \"three\" cannot be opened duplex and non-duplex"));

    // A write-only port beside the read-only one: two ports on one device.
    PortRequest r4 = fifo_request(dev, "four", "out");
    Port* out = m.add_port(r4);
    ASSERT_NE(out, nullptr);
    EXPECT_NE(out, in);
    EXPECT_EQ(m.nports(), 2u);
    EXPECT_EQ(m.set_output_port(out->number()), 0);
    EXPECT_EQ(m.output_port(), out);

    std::vector<std::string> visited;
    auto visit = [](const Port& p, unsigned long i, void* arg) {
        static_cast<std::vector<std::string>*>(arg)->push_back(std::to_string(i) + p.name());
        return 0;
    };
    EXPECT_EQ(m.foreach_port(visit, &visited), 0);
    EXPECT_EQ(visited, (std::vector<std::string>{"0one", "1four"}));
    EXPECT_EQ(m.foreach_port([](const Port&, unsigned long, void*) { return 7; }, nullptr), 7);

    // Removing the device closes both ports and leaves nothing dangling.
    EXPECT_EQ(m.remove_port(dev.c_str()), 0);
    EXPECT_EQ(m.nports(), 0u);
    EXPECT_EQ(m.port("one"), nullptr);
    EXPECT_EQ(m.port("two"), nullptr);
    EXPECT_EQ(m.port("four"), nullptr);
    EXPECT_EQ(m.input_port(), nullptr);
    EXPECT_EQ(m.output_port(), nullptr);
    EXPECT_EQ(m.remove_port(dev.c_str()), -1);
}

TEST_F(ManagerFixture, FactoryKindsAndChoosingPorts) {
    PortRequest null_req("anything", "mine", "duplex", "null");
    Port* null_port = m.add_port(null_req);
    ASSERT_NE(null_port, nullptr);
    EXPECT_EQ(m.port("null"), null_port);

    PortRequest core("dev", "core", "duplex", "coremidi");
    EXPECT_EQ(m.add_port(core), nullptr);
    EXPECT_EQ(core.status, PortRequest::TypeUnsupported);

    PortRequest missing(dir.path + "/none", "none", "duplex", "fifo");
    EXPECT_EQ(m.add_port(missing), nullptr);
    EXPECT_EQ(missing.status, PortRequest::NoSuchFile) << "a port that did not open is not reported OK";

    PortRequest sideways(dir.fifo("s"), "s", "sideways", "fifo");
    MIDI::PortFactory factory;
    EXPECT_EQ(factory.create_port(sideways), nullptr);

    // Moving the output away silences every channel of the old one.
    const std::string dev = dir.fifo("b");
    const int reader = open(dev.c_str(), O_RDONLY | O_NONBLOCK);
    PortRequest out_req = fifo_request(dev, "out", "out");
    Port* out = m.add_port(out_req);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(m.set_output_port("out"), 0);
    EXPECT_EQ(m.set_output_port("null"), 0);
    EXPECT_EQ(m.output_port(), null_port);
    MIDI::byte buf[256];
    EXPECT_EQ(::read(reader, buf, sizeof(buf)), 48);
    EXPECT_EQ(qmtest::hex(buf + 45, 3), "bf 7b 00");
    close(reader);

    EXPECT_EQ(m.set_input_port("nope"), -1);
    EXPECT_EQ(m.set_input_port(out->number()), 0);
    EXPECT_EQ(m.input_port(), out);
    EXPECT_EQ(m.set_output_port(999999ul), -1);

    std::vector<MIDI::PortRequest*> reqs;
    MIDI::PortFactory::add_port_request(reqs, "hw");
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_STREQ(reqs[0]->tagname, "hw");
    EXPECT_EQ(reqs[0]->mode, O_RDWR);
    EXPECT_EQ(reqs[0]->type, Port::ALSA_RawMidi);
    EXPECT_EQ(reqs[0]->status, PortRequest::Unknown);
    delete reqs[0];
}
