#include <kvo/receiver.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

namespace {

struct Log : public Receiver {
    std::vector<std::string> heard;
    void receive(Transmitter::Channel c, const char* text) override { heard.push_back(std::to_string(c) + text); }
};

} // namespace

TEST(Receiver, HearsEveryChannelItListensToInOrderUntilHangup) {
    Transmitter info(Transmitter::Info), error(Transmitter::Error), warning(Transmitter::Warning);
    Log log;
    TextReceiver text("qm");
    for (Transmitter* t : {&info, &error}) {
        log.listen_to(*t);
        text.listen_to(*t);
    }
    text.listen_to(warning);
    testing::internal::CaptureStdout();
    info << "one" << endmsg;
    error << "two " << 2 << endmsg;
    warning << "three" << endmsg;
    info << "four" << endmsg;
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "qm: [INFO]: one\nqm: [ERROR]: two 2\nqm: [WARNING]: three\nqm: [INFO]: four\n");
    log.hangup();
    error << "after" << endmsg;
    EXPECT_EQ(log.heard, (std::vector<std::string>{"0one", "1two 2", "0four"}));
}

TEST(TextReceiverDeathTest, FatalIsPrintedInFullThenEndsWithStatusNine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            dup2(2, 1); // so the printed line reaches the matcher
            Transmitter fatal(Transmitter::Fatal);
            TextReceiver r("qm");
            r.listen_to(fatal);
            fatal << "cannot go on: " << 42 << endmsg;
        },
        testing::ExitedWithCode(9), "\nqm: \\[FATAL\\]: cannot go on: 42\n$");
}
