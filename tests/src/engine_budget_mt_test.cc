// Memory for loads and adds that come right after a removal, with the engine
// thread and the OSC server running: the loops on their way out are waited
// for before anything is refused for room, whether audio runs or has just
// paused.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "file_fixture.h"
#include "looper.h"
#include "osc_fixture.h"

using namespace Quillomat;
using qmtest::EngineHost;
using qmtest::MemoryBudget;
using qmtest::OscClient;
using qmtest::OscMsg;
using qmtest::ScratchDir;

namespace {

const size_t kMB = 1u << 20;

size_t loop_bytes(unsigned int chans) { return Looper::memory_bytes(chans, 20.0f, EngineHost::kRate, 256); }

// The host renders on (paced like a host), or rendered until just now.
class RoomFrees : public testing::TestWithParam<bool> {
protected:
    // A budget of `megabytes`, and one stereo loop of 20 seconds.
    void start(size_t megabytes, const std::function<void(Engine&)>& before_thread = {})
    {
        budget = std::make_unique<MemoryBudget>(megabytes);
        host = std::make_unique<EngineHost>(256, nullptr, 2, before_thread);
        client = std::make_unique<OscClient>(host->port);
        ASSERT_TRUE(host->ok && client->ok());
        ASSERT_TRUE(host->engine.add_loop(2, 20.0f, true));
        host->driver.start_audio(nullptr, nullptr);
        ASSERT_TRUE(host->driver.wait_blocks(4));
        if (!GetParam()) host->driver.stop_audio();
    }

    // The error answers to everything sent so far.
    std::vector<std::string> errors()
    {
        EXPECT_TRUE(client->sync());
        std::vector<std::string> out;
        for (const OscMsg& m : client->collect(0)) {
            if (m.path == "/err") out.push_back(m.s(1));
        }
        return out;
    }

    std::unique_ptr<MemoryBudget> budget;
    std::unique_ptr<EngineHost> host;
    std::unique_ptr<OscClient> client;
    ScratchDir d;
};

// Each load builds its loops beside the ones there now; those go once the
// audio thread lets go of them. Room for two sets, not three.
TEST_P(RoomFrees, ALoadRightAfterALoadWaitsForTheLoopsItReplaced)
{
    start(2 * loop_bytes(2) / kMB + 4);
    for (int k = 0; k < 3; ++k) {
        const std::string name = d.path("preset" + std::to_string(k) + ".qms");
        qmtest::put(name, qmtest::session_text(1, 2, 20.0f, 90.0 + k));
        ASSERT_TRUE(client->send("/load_session", name, client->url(), "/err"));
    }
    EXPECT_EQ(errors(), std::vector<std::string>{});
    float tempo = 0.0f;
    host->engine.get_global_param("tempo", tempo);
    EXPECT_EQ(tempo, 92.0f);
}

// A host restoring its state twice in a row, on its own thread: the engine
// thread frees what the first restore replaced while the second waits.
TEST_P(RoomFrees, ARestoreRightAfterARestoreWaitsForTheEngineThread)
{
    start(2 * loop_bytes(2) / kMB + 4);
    for (int k = 0; k < 3; ++k) {
        const std::string text = qmtest::session_text(1, 2, 20.0f, 90.0 + k);
        EXPECT_TRUE(host->engine.load_session("", &text)) << k;
    }
}

// A stereo loop removed and a mono one added at once, with room for only
// one of them.
TEST_P(RoomFrees, AnAddRightAfterARemovalWaitsForTheRemovedLoop)
{
    start(loop_bytes(2) / kMB + 2);
    ASSERT_TRUE(client->send("/loop_del", -1) && client->send("/loop_add", 1, 20.0f));
    EXPECT_EQ(errors(), std::vector<std::string>{});
    EXPECT_EQ(host->engine.loop_count(), 1u);
    EXPECT_EQ(host->engine.memory_held(), loop_bytes(1));
}

// The same when telling that the stereo loop went runs out of memory: the
// engine thread frees it while the add waits, and the add goes on.
TEST_P(RoomFrees, AnAddWaitingForARemovalOutlivesTheNewsRunningOutOfMemory)
{
    start(loop_bytes(2) / kMB + 2, [](Engine& e) { e.LoopRemoved.connect([] { throw std::bad_alloc(); }); });
    ASSERT_TRUE(client->send("/loop_del", -1) && client->send("/loop_add", 1, 20.0f));
    EXPECT_EQ(errors(), std::vector<std::string>{});
    EXPECT_EQ(host->engine.loop_count(), 1u);
    EXPECT_EQ(host->engine.memory_held(), loop_bytes(1));
    // The session lock is free again.
    std::string text;
    EXPECT_TRUE(host->engine.save_session("", &text));
}

INSTANTIATE_TEST_SUITE_P(Audio, RoomFrees, testing::Bool(), [](const testing::TestParamInfo<bool>& p) {
    return p.param ? "Running" : "JustPaused";
});

} // namespace
