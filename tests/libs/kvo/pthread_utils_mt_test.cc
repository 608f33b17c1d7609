#include <kvo/pthread_utils.h>

#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

std::string heard_name;
std::atomic<int> signalled{0};

void* record_own_name(void*) {
    heard_name = Kvo::pthread_name();
    return nullptr;
}

void* wait_for_signal(void*) {
    while (signalled.load() == 0) std::this_thread::yield();
    return nullptr;
}

pthread_t start(const std::string& name, void* (*routine)(void*)) {
    pthread_t t;
    EXPECT_EQ(Kvo::pthread_create_and_store(name, &t, nullptr, routine, nullptr), 0);
    return t;
}

} // namespace

// Repeated: a record made too late only shows when the new thread wins the race.
TEST(ThreadRegistry, AThreadKnowsItsNameFromItsFirstInstructionAndTheFirstOfANameWins) {
    for (int i = 0; i < 200; ++i) {
        pthread_join(start("early", record_own_name), nullptr);
        ASSERT_EQ(heard_name, "early") << "round " << i;
    }
    pthread_t first = start("twin", wait_for_signal);
    pthread_join(start("twin", record_own_name), nullptr);
    EXPECT_EQ(heard_name, "unknown");
    EXPECT_EQ(Kvo::pthread_name(), "unknown");
    signalled = 1;
    pthread_join(first, nullptr);
}

// A joined thread's handle is dead and may belong to a new thread already, so
// only threads still running are signalled; afterwards nothing is recorded.
TEST(ThreadRegistry, KillAllSignalsOnlyThreadsStillRunning) {
    struct sigaction sa = {}, old = {};
    sa.sa_handler = [](int) { signalled.fetch_add(1); };
    sigaction(SIGUSR1, &sa, &old);
    signalled = 0;
    pthread_join(start("finished", record_own_name), nullptr);
    pthread_t running = start("running", wait_for_signal);

    testing::internal::CaptureStderr();
    Kvo::pthread_kill_all(SIGUSR1);
    pthread_join(running, nullptr);
    Kvo::pthread_kill_all(SIGUSR1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "killing running thread\n");
    EXPECT_EQ(signalled.load(), 1);
    sigaction(SIGUSR1, &old, nullptr);
}
