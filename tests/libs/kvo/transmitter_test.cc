// <error.h> first: the program-wide channels must compile beside the C
// library's error() function.
#include <error.h>

#include <kvo/transmitter.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Recorder : public SigC::Object {
    std::vector<std::pair<Transmitter::Channel, std::string>> heard;
    void receive(Transmitter::Channel c, const char* text) { heard.emplace_back(c, text); }
};

void print_to_stderr(Transmitter::Channel c, const char* text) { std::fprintf(stderr, "heard %d: %s\n", c, text); }

} // namespace

// Written the way the MIDI port library writes its diagnostics.
namespace MIDI {
using Kvo::error;
using Kvo::info;
using Kvo::warning;
void report() {
    error << "MIDI::MachineControl: unknown MMC command " << std::hex << 0x7c << std::dec << endmsg;
    info << "No MIDI port specified - external control disabled" << endmsg;
    warning << "MIDI::MMC: locate [I/F] command not supported" << endmsg;
}
} // namespace MIDI

TEST(Transmitter, EachProgramWideChannelDeliversExactlyTheFinishedText) {
    Recorder r;
    for (Transmitter* t : {&Kvo::info, &Kvo::error, &Kvo::warning}) {
        t->sender().connect(SigC::slot(r, &Recorder::receive));
    }
    MIDI::report();
    kvo_c_error("from C");
    using H = std::vector<std::pair<Transmitter::Channel, std::string>>;
    EXPECT_EQ(r.heard, (H{{Transmitter::Error, "MIDI::MachineControl: unknown MMC command 7c"},
                          {Transmitter::Info, "No MIDI port specified - external control disabled"},
                          {Transmitter::Warning, "MIDI::MMC: locate [I/F] command not supported"},
                          {Transmitter::Error, "from C"}}));
    void (*c_error)(int, int, const char*, ...) = &::error;
    EXPECT_NE(reinterpret_cast<void*>(c_error), static_cast<void*>(&Kvo::error));
}

TEST(Transmitter, EachMessageStandsAloneOnItsOwnSignal) {
    Transmitter t(Transmitter::Warning);
    Recorder r;
    t.sender().connect(SigC::slot(r, &Recorder::receive));
    Transmitter(Transmitter::Info) << "not for r" << endmsg;
    t << "a much longer first message " << 12345 << endmsg;
    t << "short" << endmsg;
    // A failed insertion must not leave an earlier text showing.
    t << "x" << static_cast<const char*>(nullptr) << endmsg;
    using H = std::vector<std::pair<Transmitter::Channel, std::string>>;
    EXPECT_EQ(r.heard, (H{{Transmitter::Warning, "a much longer first message 12345"},
                          {Transmitter::Warning, "short"}, {Transmitter::Warning, "x"}}));
    EXPECT_FALSE(t.does_not_return());
    EXPECT_TRUE(Transmitter(Transmitter::Throw).does_not_return());
}

TEST(Endmsg, EndsTheLineOnOrdinaryStreamsWithoutDelivering) {
    std::ostringstream plain;
    plain << "line" << endmsg;
    EXPECT_EQ(plain.str(), "line\n");
    Recorder r;
    Kvo::error.sender().connect(SigC::slot(r, &Recorder::receive));
    testing::internal::CaptureStderr();
    std::cerr << "to stderr" << endmsg;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "to stderr\n");
    EXPECT_TRUE(r.heard.empty());
}

TEST(TransmitterDeathTest, FatalDeliversThenEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Kvo::fatal.sender().connect(SigC::slot(&print_to_stderr));
            Kvo::fatal << "cannot go on: " << 42 << endmsg;
            std::fprintf(stderr, "returned\n");
        },
        testing::ExitedWithCode(1), "heard 3: cannot go on: 42\n$");
}
