// The memory budget all loops share: where it comes from, and adds and
// sessions that would pass it, which are refused whole.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "engine_fixture.h"
#include "event_nonrt.h"

using namespace Quillomat;
using qmtest::EngineRig;
using qmtest::MemoryBudget;

namespace {

const size_t kMB = 1u << 20;

// Two channels of 20 seconds: 8 MB of loop memory and a little more.
size_t stereo_20s() { return Looper::memory_bytes(2, 20.0f, EngineRig::kRate, EngineRig::kBlock); }

TEST(MemoryBudget, ComesFromTheEnvironmentInMegabytes)
{
    const size_t fallback = (size_t)sysconf(_SC_PHYS_PAGES) * (size_t)sysconf(_SC_PAGESIZE) / 4;
    struct Case {
        const char* value;
        size_t budget;
        bool said;
    };
    const Case cases[] = {{nullptr, fallback, false}, {"512", 512 * kMB, false}, {"0", fallback, true},
                          {"-5", fallback, true}, {"12abc", fallback, true}, {"99999999999999999999", fallback, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "unset");
        MemoryBudget env(c.value);
        ::testing::internal::CaptureStderr();
        EngineRig rig;
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(rig.engine.memory_budget(), c.budget);
        EXPECT_EQ(said.find("QM_MEMORY_BUDGET") != std::string::npos, c.said) << said;
    }
}

TEST(MemoryBudget, AddsStopAtTheBudgetHoweverManyAreQueued)
{
    MemoryBudget env("64");
    EngineRig rig;
    ASSERT_TRUE(rig.ok);
    // All queued before the first is executed, as a burst of datagrams is.
    rig.engine.push_nonrt_event(new ConfigLoopEvent(ConfigLoopEvent::Add, 2, 3600.0f, 0, 1));
    for (int k = 0; k < 12; ++k) rig.engine.push_nonrt_event(new ConfigLoopEvent(ConfigLoopEvent::Add, 2, 20.0f, 0, 1));
    ::testing::internal::CaptureStderr();
    while (EventNonRT* req = rig.engine.pop_nonrt_event()) {
        rig.engine.process_nonrt_event(req);
        delete req;
    }
    const std::string said = ::testing::internal::GetCapturedStderr();

    const size_t fit = 64 * kMB / stereo_20s();
    EXPECT_EQ(rig.engine.loop_count(), fit);
    EXPECT_EQ(rig.engine.memory_held(), fit * stereo_20s());
    const size_t hour = Looper::memory_bytes(2, 3600.0f, EngineRig::kRate, EngineRig::kBlock);
    const std::string refused = "cannot add a loop of 2 channels and 3600 seconds: it needs " +
                                std::to_string((hour + kMB - 1) / kMB) +
                                " MB and only 64 MB of the loop memory budget are free; remove loops, or raise "
                                "QM_MEMORY_BUDGET";
    EXPECT_NE(said.find(refused), std::string::npos) << said;
    EXPECT_NE(said.find("cannot add a loop of 2 channels and 20 seconds"), std::string::npos) << said;
}

// The new loops are built before the old ones go, so that a loop that fails
// to build leaves the session as it was: the budget must hold both sets.
TEST(MemoryBudget, ASessionMustFitBesideTheLoopsThereNow)
{
    MemoryBudget env(5 * stereo_20s() / kMB + 1);
    EngineRig rig;
    for (int l = 0; l < 3; ++l) ASSERT_TRUE(rig.add(2, 20.0f));
    struct Case {
        int loops;
        bool loaded;
    };
    for (const Case c : {Case{3, false}, Case{2, true}}) {
        SCOPED_TRACE(c.loops);
        const std::string text = qmtest::session_text(c.loops, 2, 20.0f, 90.0);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(rig.engine.load_session("budget", &text), c.loaded);
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(said.find("remove loops, or raise QM_MEMORY_BUDGET") != std::string::npos, !c.loaded) << said;
        EXPECT_EQ(rig.global("tempo"), c.loaded ? 90.0f : 110.0f);
        rig.settle();
        EXPECT_EQ(rig.engine.loop_count(), c.loaded ? 2u : 3u);
        EXPECT_LE(rig.engine.memory_held(), rig.engine.memory_budget());
    }
}

} // namespace
