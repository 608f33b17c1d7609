#include "looper.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "alloc_counter.h"
#include "looper_fixture.h"
#include "panner.h"

using namespace Quillomat;
using qmtest::LooperRig;

namespace {

const int kState = Event::State;
const float kRate = 48000.0f;

float sig(unsigned int chan, long frame) {
    return 0.25f * std::sin(0.013f * (float)frame * (float)(chan + 1)) + 0.1f * (float)(chan + 1);
}

class LooperTest : public ::testing::Test {
protected:
    LooperRig rig;

    // Drives one block with the discrete inputs of loop `index` filled from fn(chan, global frame).
    void feed_block(Looper& l, unsigned int index, unsigned int chans, long start,
                    const std::function<float(unsigned int, long)>& fn) {
        for (unsigned int c = 0; c < chans; ++c) {
            float* in = rig.in(index, c);
            ASSERT_NE(in, nullptr);
            for (nframes_t j = 0; j < rig.block_size(); ++j) in[j] = fn(c, start + (long)j);
        }
        rig.block(l);
    }

    float loop_frames(const Looper& l) { return LooperRig::value(l, Event::LoopLength) * kRate; }
};

// ---------------------------------------------------------------------------
// Construction and wiring

TEST_F(LooperTest, AsksForItsOwnPortsInOrderAndReleasesThem) {
    ASSERT_TRUE(rig.engine_ok);
    const size_t common = rig.driver.requests().size();
    {
        auto l = rig.make(3, 2, 1.0f, true);
        ASSERT_TRUE((*l)());
        std::vector<std::string> asked(rig.driver.requests().begin() + (long)common, rig.driver.requests().end());
        EXPECT_EQ(asked, (std::vector<std::string>{"in:loop3_in_1", "out:loop3_out_1", "in:loop3_in_2",
                                                   "out:loop3_out_2"}));
        EXPECT_EQ(LooperRig::value(*l, Event::HasDiscreteIO), 1.0f);
        EXPECT_EQ(LooperRig::value(*l, Event::ChannelCount), 2.0f);
        EXPECT_EQ(l->get_index(), 3u);
    }
    EXPECT_FALSE(rig.driver.has_input("loop3_in_1"));
    EXPECT_FALSE(rig.driver.has_output("loop3_out_2"));
    EXPECT_EQ(rig.driver.destroyed().size(), 4u);
}

TEST_F(LooperTest, RefusedInputPortStopsFurtherRegistration) {
    rig.driver.refuse_port("loop3_in_1");
    const size_t common = rig.driver.requests().size();
    auto l = rig.make(3, 2, 1.0f, true);
    ASSERT_TRUE((*l)());
    std::vector<std::string> asked(rig.driver.requests().begin() + (long)common, rig.driver.requests().end());
    EXPECT_EQ(asked, (std::vector<std::string>{"in:loop3_in_1", "out:loop3_out_1"}));
    EXPECT_EQ(LooperRig::value(*l, Event::HasDiscreteIO), 0.0f);
    // The output port already registered stays until the loop goes.
    EXPECT_TRUE(rig.driver.has_output("loop3_out_1"));
    l.reset();
    EXPECT_FALSE(rig.driver.has_output("loop3_out_1"));
}

TEST_F(LooperTest, PassesMemoryLengthAndStartsWithDefaults) {
    // The looper's own length wins over the variable, which it leaves alone.
    setenv("QM_SAMPLE_TIME", "7", 1);
    auto l = rig.make(0, 1, 40.0f, false);
    ASSERT_TRUE((*l)());
    EXPECT_STREQ(getenv("QM_SAMPLE_TIME"), "7");
    unsetenv("QM_SAMPLE_TIME");
    // 40 s at 48 kHz rounds up to 2^21 frames.
    EXPECT_NEAR(LooperRig::value(*l, Event::TotalTime), 2097152.0f / kRate, 1e-3);

    EXPECT_EQ(LooperRig::value(*l, Event::MultiUnused), -1.0f);
    EXPECT_EQ(LooperRig::value(*l, Event::Rate), 1.0f);
    EXPECT_EQ(LooperRig::value(*l, Event::FadeSamples), 64.0f);
    EXPECT_EQ(LooperRig::value(*l, Event::WetLevel), 1.0f);
    EXPECT_EQ(LooperRig::value(*l, Event::Feedback), 1.0f);
    EXPECT_EQ(LooperRig::value(*l, Event::DryLevel), 1.0f);
    EXPECT_EQ(LooperRig::value(*l, Event::InputGain), 1.0f);
    EXPECT_EQ(LooperRig::value(*l, Event::InPeakMeter), 0.0f);
    EXPECT_EQ(LooperRig::value(*l, Event::OutPeakMeter), 0.0f);
    EXPECT_EQ(LooperRig::value(*l, Event::UseSafetyFeedback), 1.0f);
    EXPECT_EQ(LooperRig::value(*l, Event::UseCommonIns), 1.0f);
    EXPECT_EQ(LooperRig::value(*l, Event::UseCommonOuts), 1.0f);
    EXPECT_EQ(LooperRig::value(*l, Event::RelativeSync), 0.0f);
    EXPECT_EQ(LooperRig::value(*l, Event::Tempo), 0.0f);
    EXPECT_EQ(LooperRig::value(*l, (Event::control_t)99), 0.0f);
}

TEST_F(LooperTest, PlacesPannerStreamsByChannelCount) {
    auto mono = rig.make(0, 1, 1.0f, false);
    EXPECT_EQ(LooperRig::value(*mono, Event::PanChannel1), 0.5f);

    auto stereo = rig.make(1, 2, 1.0f, false);
    EXPECT_EQ(LooperRig::value(*stereo, Event::PanChannel1), 0.0f);
    EXPECT_EQ(LooperRig::value(*stereo, Event::PanChannel2), 1.0f);
    EXPECT_EQ(LooperRig::value(*stereo, Event::PanChannel3), 0.0f);

    LooperRig single(1);
    auto lone = single.make(0, 1, 1.0f, false);
    ASSERT_TRUE((*lone)());
    EXPECT_EQ(LooperRig::value(*lone, Event::PanChannel1), 0.0f);
}

TEST_F(LooperTest, RefusesImpossibleConfigurationsBeforeBuildingAnything) {
    const size_t asked = rig.driver.requests().size();
    struct Case {
        unsigned int index;
        unsigned int chans;
        float secs;
    } cases[] = {{0, 0, 1.0f},
                 {0, 65, 1.0f},
                 {0, (unsigned int)-1, 1.0f},
                 {128, 1, 1.0f},
                 {0, 1, -1.0f},
                 {0, 1, 0.0f},
                 {0, 1, std::numeric_limits<float>::quiet_NaN()},
                 {0, 1, std::numeric_limits<float>::infinity()},
                 {0, 1, 1e9f},
                 {0, 64, 3600.0f}};  // 64 GB of loop memory: more than the machine has
    for (const Case& c : cases) {
        Looper l(&rig.driver, c.index, c.chans, c.secs, true);
        EXPECT_FALSE(l()) << c.index << " " << c.chans << " " << c.secs;
        l.run(0, rig.block_size());
    }
    EXPECT_EQ(rig.driver.requests().size(), asked);

    Looper no_driver(nullptr, 0, 1, 1.0f, true);
    EXPECT_FALSE(no_driver());
}

TEST_F(LooperTest, InitializingAgainReleasesTheEarlierBuild) {
    auto l = rig.make(2, 2, 1.0f, true);
    ASSERT_TRUE((*l)());
    const size_t live = rig.driver.live_ports();
    ASSERT_TRUE(l->initialize(2, 1, 1.0f, true));
    EXPECT_EQ(rig.driver.live_ports(), live - 2);
    EXPECT_FALSE(rig.driver.has_input("loop2_in_2"));
    EXPECT_EQ(LooperRig::value(*l, Event::ChannelCount), 1.0f);
    // A refused re-initialisation keeps what is there.
    EXPECT_FALSE(l->initialize(2, 0, 1.0f, true));
    EXPECT_EQ(LooperRig::value(*l, Event::ChannelCount), 1.0f);
}

// ---------------------------------------------------------------------------
// Block processing

TEST_F(LooperTest, CommandStaysOnMultiPortForExactlyOneStretch) {
    auto l = rig.make(0, 2);
    ASSERT_TRUE((*l)());
    LooperRig::hit(*l, Event::MUTE);
    l->run(0, 0);  // a stretch of no frames still delivers
    EXPECT_EQ(LooperRig::value(*l, Event::MultiUnused), 9.0f);
    l->run(0, 100);
    EXPECT_EQ(LooperRig::value(*l, Event::MultiUnused), -1.0f);

    // The same command while the port still holds it costs one stretch at -1.
    LooperRig::hit(*l, Event::MUTE);
    l->run(100, 10);
    EXPECT_EQ(LooperRig::value(*l, Event::MultiUnused), 9.0f);
    LooperRig::hit(*l, Event::MUTE);
    l->run(110, 10);
    EXPECT_EQ(LooperRig::value(*l, Event::MultiUnused), -1.0f);
    l->run(120, 10);
    EXPECT_EQ(LooperRig::value(*l, Event::MultiUnused), 9.0f);
    l->run(130, 10);
    EXPECT_EQ(LooperRig::value(*l, Event::MultiUnused), -1.0f);

    // An unknown command stays pending until a real one replaces it.
    LooperRig::hit(*l, -1);
    l->run(0, 50);
    EXPECT_EQ(LooperRig::value(*l, Event::MultiUnused), -1.0f);
    EXPECT_TRUE(l->request_pending);
    LooperRig::hit(*l, Event::RECORD);
    l->run(50, 50);
    EXPECT_EQ(LooperRig::value(*l, Event::MultiUnused), 5.0f);
    EXPECT_FALSE(l->request_pending);
}

TEST_F(LooperTest, LevelRampsEndOnTheirTargetAtTheLastFrame) {
    auto l = rig.make(0, 1);
    ASSERT_TRUE((*l)());
    float* in = rig.in(0, 0);
    float* out = rig.out(0, 0);
    std::fill(in, in + rig.block_size(), 1.0f);

    // Falling dry level over a two-frame stretch: 0.75, then 0.5 -- never past.
    LooperRig::control(*l, Event::DryLevel, 0.5f);
    l->run(0, 2);
    EXPECT_NEAR(out[0], 0.75f, 1e-6);
    EXPECT_NEAR(out[1], 0.5f, 1e-6);
    EXPECT_EQ(LooperRig::value(*l, Event::DryLevel), 0.5f);

    LooperRig::control(*l, Event::DryLevel, 1.0f);
    l->run(2, 2);
    EXPECT_NEAR(out[2], 0.75f, 1e-6);
    EXPECT_NEAR(out[3], 1.0f, 1e-6);
    EXPECT_EQ(LooperRig::value(*l, Event::DryLevel), 1.0f);

    // Input gain: the loop input peaks at the first ramp value, not the start.
    auto g = rig.make(1, 1);
    float* gin = rig.in(1, 0);
    std::fill(gin, gin + rig.block_size(), 1.0f);
    LooperRig::control(*g, Event::InputGain, 0.5f);
    g->run(0, 2);
    EXPECT_NEAR(LooperRig::value(*g, Event::InPeakMeter), 0.75f, 1e-6);
    EXPECT_EQ(LooperRig::value(*g, Event::InputGain), 0.5f);

    // A stretch of no frames puts both on their targets at once.
    LooperRig::control(*g, Event::InputGain, 0.2f);
    LooperRig::control(*g, Event::DryLevel, 0.3f);
    g->run(2, 0);
    EXPECT_EQ(LooperRig::value(*g, Event::InputGain), 0.2f);
    EXPECT_EQ(LooperRig::value(*g, Event::DryLevel), 0.3f);
}

TEST_F(LooperTest, DryLevelOfLoopWithoutDiscreteIOReportsTheUserSetting) {
    auto l = rig.make(0, 1, 1.0f, false);
    ASSERT_TRUE((*l)());
    LooperRig::control(*l, Event::DryLevel, 0.2f);
    rig.block(*l);
    EXPECT_EQ(LooperRig::value(*l, Event::DryLevel), 0.2f);
    LooperRig::control(*l, Event::DryLevel, 0.9f);
    rig.block(*l);
    EXPECT_EQ(LooperRig::value(*l, Event::DryLevel), 0.9f);
}

TEST_F(LooperTest, PeakMetersFallThirtyDecibelsPerSecondAndStayBounded) {
    auto l = rig.make(0, 1);
    ASSERT_TRUE((*l)());
    float* in = rig.in(0, 0);
    std::fill(in, in + rig.block_size(), 0.0f);
    in[10] = -0.5f;
    rig.block(*l);
    EXPECT_NEAR(LooperRig::value(*l, Event::InPeakMeter), 0.5f, 1e-6);
    EXPECT_GE(LooperRig::value(*l, Event::OutPeakMeter), 0.5f);

    std::fill(in, in + rig.block_size(), 0.0f);
    l->run(0, 0);
    for (int i = 0; i < 48000 / 256; ++i) rig.block(*l);
    // 187 blocks = 47872 frames of fall.
    const float expect = 0.5f * std::pow(10.0f, -30.0f * 47872.0f / 48000.0f / 20.0f);
    EXPECT_NEAR(LooperRig::value(*l, Event::InPeakMeter), expect, expect * 1e-3);
    for (int i = 0; i < 3 * 48000 / 256; ++i) rig.block(*l);
    EXPECT_EQ(LooperRig::value(*l, Event::InPeakMeter), 0.0f);

    in[0] = 100.0f;
    rig.block(*l);
    in[0] = 0.0f;
    rig.block(*l);
    EXPECT_LE(LooperRig::value(*l, Event::InPeakMeter), 20.0f);
    EXPECT_LE(LooperRig::value(*l, Event::OutPeakMeter), 20.0f);

    // A NaN in the input is no level.
    auto n = rig.make(1, 1);
    float* nin = rig.in(1, 0);
    std::fill(nin, nin + rig.block_size(), 0.25f);
    nin[3] = std::nanf("");
    rig.block(*n);
    EXPECT_EQ(LooperRig::value(*n, Event::InPeakMeter), 0.25f);
}

TEST_F(LooperTest, SyncModeReadsTheUserValueAfterEveryStretch) {
    auto l = rig.make(0, 1);
    std::vector<float> external(rig.block_size(), 0.0f);
    LooperRig::control(*l, Event::SyncMode, 1.0f);
    LooperRig::control(*l, Event::RelativeSync, 1.0f);
    rig.block(*l);
    EXPECT_EQ(LooperRig::value(*l, Event::SyncMode), 1.0f);
    l->use_sync_buf(external.data());
    rig.block(*l);
    EXPECT_EQ(LooperRig::value(*l, Event::SyncMode), 1.0f);
    l->use_sync_buf(nullptr);
    rig.block(*l);
    EXPECT_EQ(LooperRig::value(*l, Event::SyncMode), 1.0f);
}

TEST_F(LooperTest, StretchesOutsideTheBlockAreCutToIt) {
    auto l = rig.make(0, 1);
    ASSERT_TRUE((*l)());
    float* in = rig.in(0, 0);
    float* out = rig.out(0, 0);
    std::fill(in, in + rig.block_size(), 1.0f);
    for (float rate : {0.5f, 1.0f}) {
        LooperRig::control(*l, Event::Rate, rate);
        std::fill(out, out + rig.block_size(), -7.0f);
        rig.begin_block();
        l->run(250, 1000);
        l->run(400, 10);
        // Only the block's last six frames were written (the dry input).
        EXPECT_EQ(out[249], -7.0f);
        for (int j = 250; j < 256; ++j) EXPECT_NE(out[j], -7.0f) << "rate " << rate << " frame " << j;
    }
}

// Short stretches at every rate: the loop never reads before its input
// buffer, and what it does not play yet is silence, not the loop's input.
TEST_F(LooperTest, ResampledStretchesAddNoStaleInputToTheMix) {
    auto l = rig.make(0, 2, 1.0f, false);
    ASSERT_TRUE((*l)());
    for (unsigned int k = 0; k < 2; ++k) std::fill(rig.common_in(k), rig.common_in(k) + rig.block_size(), 1.0f);
    for (float rate : {0.25f, 0.5f, 0.7f, 2.0f, 3.3f, 4.0f}) {
        LooperRig::control(*l, Event::Rate, rate);
        for (int b = 0; b < 4; ++b) {
            rig.begin_block();
            for (nframes_t j = 0; j < rig.block_size(); ++j) l->run(j, 1);
            for (unsigned int k = 0; k < 2; ++k) {
                for (nframes_t j = 0; j < rig.block_size(); ++j) {
                    ASSERT_NEAR(rig.common_out(k)[j], 0.0f, 1e-6) << "rate " << rate << " frame " << j;
                }
            }
        }
    }
}

// Without an engine a mono loop interpolates from its input buffer as it
// stands; a stretch of one or two frames must not make it read before that.
TEST(LooperRate, ShortStretchesReadNothingBeforeTheInputBuffer) {
    qmtest::TestDriver driver(48000, 256);
    Looper l(&driver, 0, 1, 1.0f, true);
    ASSERT_TRUE(l());
    driver.fence_buffer("loop0_in_1");
    float* in = driver.input("loop0_in_1");
    float* out = driver.output("loop0_out_1");
    std::fill(in, in + 256, 0.5f);
    for (float rate : {0.5f, 0.7f, 2.0f}) {
        LooperRig::control(l, Event::Rate, rate);
        for (nframes_t len : {1u, 2u}) {
            for (int b = 0; b < 8; ++b) {
                out[0] = -7.0f;
                l.run(0, len);
                // The empty loop passes its dry input.
                ASSERT_FLOAT_EQ(out[0], 0.5f) << "rate " << rate << ", " << len << " frames";
            }
        }
    }
}

TEST_F(LooperTest, RunAllocatesNothing) {
    auto disc = rig.make(0, 2, 1.0f, true);
    auto common = rig.make(1, 2, 1.0f, false);
    ASSERT_TRUE((*disc)());
    ASSERT_TRUE((*common)());
    common->use_sync_buf(disc->get_sync_out_buf());
    for (unsigned int k = 0; k < 2; ++k) {
        for (nframes_t j = 0; j < rig.block_size(); ++j) {
            rig.common_in(k)[j] = sig(k, j);
            rig.in(0, k)[j] = sig(k + 1, j);
        }
    }
    qmtest::AllocationCounter counter;
    for (float rate : {1.0f, 0.5f, 2.0f, 1.0f}) {
        LooperRig::control(*disc, Event::Rate, rate);
        LooperRig::control(*common, Event::Rate, rate);
        LooperRig::hit(*disc, Event::RECORD);
        LooperRig::hit(*common, Event::RECORD);
        for (int b = 0; b < 8; ++b) {
            rig.begin_block();
            disc->run(0, 100);
            common->run(0, 100);
            LooperRig::control(*disc, Event::PanChannel1, 0.3f);
            LooperRig::send(*disc, Event::type_cmd_down, Event::UNDO);
            disc->run(100, rig.block_size() - 100);
            common->run(100, rig.block_size() - 100);
        }
        LooperRig::hit(*disc, Event::OVERDUB);
        LooperRig::hit(*common, Event::OVERDUB);
        for (int b = 0; b < 8; ++b) {
            rig.block(*disc);
            rig.block(*common);
        }
    }
    EXPECT_EQ(counter.count(), 0u);
}

// ---------------------------------------------------------------------------
// Events and controls

TEST_F(LooperTest, LongPressesRequestAgainOnRelease) {
    auto l = rig.make(0, 1);
    ASSERT_TRUE((*l)());
    auto multi = [&] { return LooperRig::value(*l, Event::MultiUnused); };
    auto seconds = [&](float s) {
        for (int i = 0; i < (int)(s * kRate) / 256; ++i) rig.block(*l);
    };

    // Short press: only the press acts.
    LooperRig::send(*l, Event::type_cmd_down, Event::UNDO);
    rig.block(*l);
    EXPECT_EQ(multi(), 0.0f);
    seconds(0.5f);
    LooperRig::send(*l, Event::type_cmd_up, Event::UNDO);
    rig.block(*l);
    EXPECT_EQ(multi(), -1.0f);

    // Long press of UNDO: UNDO_ALL at the release; of REDO: REDO_ALL.
    for (int cmd : {(int)Event::UNDO, (int)Event::REDO}) {
        LooperRig::send(*l, Event::type_cmd_down, cmd);
        rig.block(*l);
        EXPECT_EQ(multi(), (float)cmd);
        seconds(1.5f);
        LooperRig::send(*l, Event::type_cmd_up, cmd);
        rig.block(*l);
        EXPECT_EQ(multi(), cmd == Event::UNDO ? 17.0f : 18.0f);
    }

    // A release without a press, once a second has run, counts as long.
    l->set_port((Looper::ControlPort)kState, 2.0f);
    LooperRig::send(*l, Event::type_cmd_up, Event::MUTE);
    rig.block(*l);
    EXPECT_EQ(multi(), 9.0f);
}

// The press stamps count 64-bit frames: a short press just before the count
// passes 2^32 (about a day at 48 kHz) stays short.
TEST_F(LooperTest, ShortPressNearTwoToTheThirtyTwoFramesStaysShort) {
    qmtest::TestDriver bare(48000, 256);  // no inputs: runs cost next to nothing
    Looper l(&bare, 0, 1, 1.0f, false);
    ASSERT_TRUE(l());
    const nframes_t big = 1u << 16;
    l.set_buffer_size(big);
    for (uint32_t i = 0; i + 1 < (1u << 16); ++i) l.run(0, big);
    l.run(0, big - 1000);  // 2^32 - 1000 frames run
    for (nframes_t before_release : {500u, 2000u}) {  // released before and after 2^32
        LooperRig::send(l, Event::type_cmd_down, Event::UNDO);
        l.run(0, 100);
        EXPECT_EQ(LooperRig::value(l, Event::MultiUnused), 0.0f);
        l.run(0, before_release);
        LooperRig::send(l, Event::type_cmd_up, Event::UNDO);
        l.run(0, 100);
        EXPECT_EQ(LooperRig::value(l, Event::MultiUnused), -1.0f) << before_release;
    }
}

TEST_F(LooperTest, ReleaseRulesFollowTheLoopState) {
    auto l = rig.make(0, 1);
    ASSERT_TRUE((*l)());
    auto multi = [&] { return LooperRig::value(*l, Event::MultiUnused); };
    auto long_press_then = [&](int cmd, float state, Event::type_t up) {
        LooperRig::send(*l, Event::type_cmd_down, cmd);
        rig.block(*l);
        for (int i = 0; i < 48000 / 256 + 2; ++i) rig.block(*l);
        EXPECT_EQ(multi(), -1.0f);
        l->set_port((Looper::ControlPort)kState, state);  // as the processor reports it
        LooperRig::send(*l, up, cmd);
        rig.block(*l);
        return multi();
    };

    EXPECT_EQ(long_press_then(Event::OVERDUB, 4.0f, Event::type_cmd_up), -1.0f);
    EXPECT_EQ(long_press_then(Event::REVERSE, 4.0f, Event::type_cmd_up), 3.0f);
    EXPECT_EQ(long_press_then(Event::OVERDUB, 5.0f, Event::type_cmd_up), 6.0f);

    // Forced release: MULTIPLY while multiplying ends it with RECORD unless quantized.
    EXPECT_EQ(long_press_then(Event::MULTIPLY, 6.0f, Event::type_cmd_upforce), 5.0f);
    EXPECT_EQ(long_press_then(Event::INSERT, 7.0f, Event::type_cmd_upforce), 5.0f);
    LooperRig::control(*l, Event::Quantize, 1.0f);
    EXPECT_EQ(long_press_then(Event::MULTIPLY, 6.0f, Event::type_cmd_upforce), 7.0f);

    // Commands outside 0..18 on press or release change nothing.
    for (int cmd : {-1, 19, 31}) {
        LooperRig::send(*l, Event::type_cmd_down, cmd);
        LooperRig::send(*l, Event::type_cmd_up, cmd);
        LooperRig::send(*l, Event::type_cmd_upforce, cmd);
        EXPECT_FALSE(l->request_pending);
    }
}

TEST_F(LooperTest, ControlChangesReachTheirTargets) {
    auto l = rig.make(0, 2);
    ASSERT_TRUE((*l)());

    EXPECT_EQ(LooperRig::control(*l, Event::Quantize, 1.5f), 2.0f);
    EXPECT_EQ(LooperRig::value(*l, Event::Quantize), 2.0f);
    EXPECT_EQ(LooperRig::control(*l, Event::Quantize, 2.4f), 2.0f);
    EXPECT_EQ(LooperRig::control(*l, Event::Quantize, -0.5f), -1.0f);

    LooperRig::control(*l, Event::PanChannel1, 0.3f);
    LooperRig::control(*l, Event::Rate, 8.0f);
    EXPECT_EQ(LooperRig::value(*l, Event::Rate), 8.0f);  // the port keeps the value; the ratios clamp
    for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                      -std::numeric_limits<float>::infinity()}) {
        LooperRig::control(*l, Event::Rate, bad);
        LooperRig::control(*l, Event::InputGain, bad);
        LooperRig::control(*l, Event::PanChannel1, bad);
        l->set_port(Looper::Rate, bad);
        l->set_port(Looper::DryLevel, bad);
    }
    EXPECT_EQ(LooperRig::value(*l, Event::Rate), 8.0f);
    rig.block(*l);
    EXPECT_EQ(LooperRig::value(*l, Event::InputGain), 1.0f);
    EXPECT_EQ(LooperRig::value(*l, Event::DryLevel), 1.0f);
    EXPECT_EQ(LooperRig::value(*l, Event::PanChannel1), 0.3f);

    LooperRig::control(*l, Event::PanChannel2, 0.25f);
    EXPECT_EQ(LooperRig::value(*l, Event::PanChannel2), 0.25f);
    LooperRig::control(*l, Event::PanChannel3, 0.25f);
    EXPECT_EQ(LooperRig::value(*l, Event::PanChannel3), 0.0f);

    LooperRig::control(*l, Event::UseCommonIns, 0.0f);
    LooperRig::control(*l, Event::UseCommonOuts, 0.0f);
    LooperRig::control(*l, Event::RelativeSync, 1.0f);
    EXPECT_EQ(LooperRig::value(*l, Event::UseCommonIns), 0.0f);
    EXPECT_EQ(LooperRig::value(*l, Event::UseCommonOuts), 0.0f);
    EXPECT_EQ(LooperRig::value(*l, Event::RelativeSync), 1.0f);

    // Output controls and engine controls are not for clients to set.
    LooperRig::control(*l, Event::LoopLength, 5.0f);
    EXPECT_EQ(LooperRig::value(*l, Event::LoopLength), 0.0f);

    // set_port: the dry level is a target, relative sync a flag, the rest ports.
    l->set_port(Looper::DryLevel, 0.4f);
    EXPECT_EQ(LooperRig::value(*l, Event::DryLevel), 1.0f);
    rig.block(*l);
    EXPECT_EQ(LooperRig::value(*l, Event::DryLevel), 0.4f);
    l->set_port(Looper::RelativeSync, 0.0f);
    EXPECT_EQ(LooperRig::value(*l, Event::RelativeSync), 0.0f);
    l->set_port(Looper::TempoInput, 120.0f);
    EXPECT_EQ(LooperRig::value(*l, Event::TempoInput), 120.0f);
}

// A slot may allocate or block: pan moves on the audio path leave the signal
// pending for a thread that may run it, linked streams included.
TEST_F(LooperTest, PanMovesOnTheAudioPathRunNoSlot) {
    auto l = rig.make(0, 2);
    ASSERT_NE(l->get_panner(), nullptr);
    Panner& panner = *l->get_panner();
    panner.set_linked(true);
    int moved[2] = {0, 0};
    panner[0]->Changed.connect([&] { ++moved[0]; });
    panner[1]->Changed.connect([&] { ++moved[1]; });
    {
        qmtest::AllocationCounter counter;
        LooperRig::control(*l, Event::PanChannel2, 0.75f);
        EXPECT_EQ(counter.count(), 0u);
    }
    EXPECT_EQ(moved[0] + moved[1], 0);
    EXPECT_EQ(LooperRig::value(*l, Event::PanChannel1), 0.0f);  // already at the bound
    EXPECT_EQ(LooperRig::value(*l, Event::PanChannel2), 0.75f);
    LooperRig::control(*l, Event::PanChannel1, 0.25f);
    l->emit_pending_signals();
    l->emit_pending_signals();
    EXPECT_EQ(moved[0], 1);
    EXPECT_EQ(moved[1], 1);
    EXPECT_EQ(LooperRig::value(*l, Event::PanChannel2), 1.0f);
}

// Each sync pulse crosses the rate change and back as one pulse, as late as
// the audio and within a frame of that: none lost at rate 0.5, none doubled
// at 2.0, also at the edges of stretches.
TEST_F(LooperTest, SyncPulsesCrossTheRateChangeOneForOne) {
    for (float rate : {0.5f, 1.5f, 2.0f}) {
        auto l = rig.make(0, 2, 1.0f, false);
        ASSERT_TRUE((*l)());
        std::vector<float> sync(rig.block_size(), 0.0f);
        l->use_sync_buf(sync.data());
        LooperRig::control(*l, Event::SyncMode, 1.0f);  // the loop passes its sync input on
        LooperRig::control(*l, Event::Rate, rate);
        const float* out = l->get_sync_out_buf();
        std::vector<long> sent, got;
        long frame = 0;
        for (int b = 0; b < 200; ++b, frame += 256) {
            for (nframes_t j = 0; j < 256; ++j) {
                sync[j] = (frame + (long)j) % 97 == 0 ? 1.0f : 0.0f;
                if (sync[j] != 0.0f) sent.push_back(frame + (long)j);
            }
            rig.begin_block();
            const nframes_t split = 1 + (nframes_t)(b * 37) % 255;
            l->run(0, split);
            l->run(split, 256 - split);
            for (nframes_t j = 0; j < 256; ++j) {
                if (out[j] != 0.0f) got.push_back(frame + (long)j);
            }
        }
        ASSERT_EQ(got.size(), sent.size()) << "rate " << rate;
        for (size_t i = 0; i < got.size(); ++i) {
            ASSERT_NEAR((double)got[i], (double)sent[i] + 1.0 / rate, 1.0)
                << "rate " << rate << " pulse " << i;
        }
    }
}

// ---------------------------------------------------------------------------
// Recording and playback through the processors

TEST_F(LooperTest, RecordsAndPlaysTwoChannelsThroughDiscretePorts) {
    auto l = rig.make(0, 2);
    ASSERT_TRUE((*l)());
    LooperRig::control(*l, Event::FadeSamples, 1.0f);
    LooperRig::control(*l, Event::UseCommonIns, 0.0f);

    long frame = 0;
    LooperRig::hit(*l, Event::RECORD);
    for (int b = 0; b < 4; ++b, frame += 256) feed_block(*l, 0, 2, frame, sig);
    EXPECT_EQ(LooperRig::value(*l, Event::State), 2.0f);
    LooperRig::hit(*l, Event::RECORD);
    LooperRig::control(*l, Event::DryLevel, 0.0f);

    auto silence = [](unsigned int, long) { return 0.0f; };
    for (int b = 0; b < 8; ++b, frame += 256) {
        feed_block(*l, 0, 2, frame, silence);
        for (unsigned int c = 0; c < 2; ++c) {
            for (nframes_t j = 0; j < 256; ++j) {
                const long pos = (frame + (long)j - 1024) % 1024;
                ASSERT_NEAR(rig.out(0, c)[j], sig(c, pos), 1e-5) << "chan " << c << " frame " << frame + j;
            }
        }
    }
    EXPECT_EQ(LooperRig::value(*l, Event::State), 4.0f);
    EXPECT_NEAR(loop_frames(*l), 1024.0f, 0.5f);
}

TEST_F(LooperTest, RecordsAndPlaysThroughTheCommonOutputs) {
    auto l = rig.make(0, 2, 2.0f, false);
    ASSERT_TRUE((*l)());
    LooperRig::control(*l, Event::FadeSamples, 1.0f);
    // Let the stereo gains settle at hard left and hard right.
    for (int b = 0; b < 40; ++b) rig.block(*l);

    long frame = 0;
    LooperRig::hit(*l, Event::RECORD);
    for (int b = 0; b < 4; ++b, frame += 256) {
        for (unsigned int k = 0; k < 2; ++k) {
            for (nframes_t j = 0; j < 256; ++j) rig.common_in(k)[j] = sig(k, frame + (long)j);
        }
        rig.block(*l);
    }
    LooperRig::hit(*l, Event::RECORD);
    for (unsigned int k = 0; k < 2; ++k) std::fill(rig.common_in(k), rig.common_in(k) + 256, 0.0f);
    for (int b = 0; b < 8; ++b, frame += 256) {
        rig.block(*l);
        for (unsigned int k = 0; k < 2; ++k) {
            for (nframes_t j = 0; j < 256; ++j) {
                const long pos = (frame + (long)j - 1024) % 1024;
                ASSERT_NEAR(rig.common_out(k)[j], sig(k, pos), 1e-5) << "out " << k << " frame " << frame + j;
            }
        }
    }

    // Common outputs off: nothing reaches the mix.
    LooperRig::control(*l, Event::UseCommonOuts, 0.0f);
    rig.block(*l);
    for (unsigned int k = 0; k < 2; ++k) EXPECT_EQ(rig.common_out(k)[7], 0.0f);
}

// A mono host has one common output and so no panner: the loop still
// reaches it.
TEST(LooperMono, RecordsAndPlaysThroughASingleCommonOutput) {
    LooperRig mono(1);
    auto l = mono.make(0, 1, 2.0f, false);
    ASSERT_TRUE((*l)());
    ASSERT_EQ(l->get_panner(), nullptr);
    LooperRig::control(*l, Event::FadeSamples, 1.0f);
    long frame = 0;
    LooperRig::hit(*l, Event::RECORD);
    for (int b = 0; b < 4; ++b, frame += 256) {
        for (nframes_t j = 0; j < 256; ++j) mono.common_in(0)[j] = sig(0, frame + (long)j);
        mono.block(*l);
    }
    LooperRig::hit(*l, Event::RECORD);
    std::fill(mono.common_in(0), mono.common_in(0) + 256, 0.0f);
    for (int b = 0; b < 4; ++b, frame += 256) {
        mono.block(*l);
        for (nframes_t j = 0; j < 256; ++j) {
            ASSERT_NEAR(mono.common_out(0)[j], sig(0, (frame + (long)j - 1024) % 1024), 1e-5) << frame + j;
        }
    }
}

TEST_F(LooperTest, CommandsBetweenStretchesLandOnTheirFrame) {
    auto l = rig.make(0, 1);
    ASSERT_TRUE((*l)());
    LooperRig::control(*l, Event::FadeSamples, 1.0f);
    auto ramp = [](unsigned int, long f) { return 0.001f * (float)(f % 1000) + 0.01f; };
    float* in = rig.in(0, 0);
    long frame = 0;
    auto fill = [&] {
        for (nframes_t j = 0; j < 256; ++j) in[j] = ramp(0, frame + (long)j);
    };

    fill();
    rig.begin_block();
    l->run(0, 100);
    LooperRig::hit(*l, Event::RECORD);
    l->run(100, 156);
    frame += 256;
    for (int b = 0; b < 3; ++b, frame += 256) feed_block(*l, 0, 1, frame, ramp);
    fill();
    rig.begin_block();
    l->run(0, 50);
    LooperRig::hit(*l, Event::RECORD);
    LooperRig::control(*l, Event::DryLevel, 0.0f);
    std::fill(in + 50, in + 256, 0.0f);
    l->run(50, 206);

    EXPECT_NEAR(loop_frames(*l), 156.0f + 3 * 256.0f + 50.0f, 0.5f);
    // Playback starts at the stop frame with the first frame recorded.
    const float* out = rig.out(0, 0);
    EXPECT_NEAR(out[50], ramp(0, 100), 1e-5);
    EXPECT_NEAR(out[51], ramp(0, 101), 1e-5);
}

TEST_F(LooperTest, RateChangesTheLengthTheProcessorRecords) {
    for (float rate : {0.5f, 2.0f}) {
        auto l = rig.make(0, 1);
        ASSERT_TRUE((*l)());
        LooperRig::control(*l, Event::Rate, rate);
        LooperRig::hit(*l, Event::RECORD);
        for (int b = 0; b < 10; ++b) feed_block(*l, 0, 1, b * 256, sig);
        LooperRig::hit(*l, Event::RECORD);
        rig.block(*l);
        EXPECT_NEAR(loop_frames(*l), 2560.0f * rate, 4.0f) << "rate " << rate;
    }
}

TEST_F(LooperTest, PlaybackAtAnotherRateFillsEveryFrame) {
    for (float rate : {0.5f, 2.0f}) {
        auto l = rig.make(0, 1);
        ASSERT_TRUE((*l)());
        LooperRig::control(*l, Event::FadeSamples, 1.0f);
        auto dc = [](unsigned int, long) { return 0.5f; };
        LooperRig::hit(*l, Event::RECORD);
        for (int b = 0; b < 8; ++b) feed_block(*l, 0, 1, 0, dc);
        LooperRig::hit(*l, Event::RECORD);
        feed_block(*l, 0, 1, 0, dc);
        LooperRig::control(*l, Event::DryLevel, 0.0f);
        LooperRig::control(*l, Event::Rate, rate);
        auto silence = [](unsigned int, long) { return 0.0f; };
        for (int b = 0; b < 4; ++b) feed_block(*l, 0, 1, 0, silence);
        for (int b = 0; b < 20; ++b) {
            feed_block(*l, 0, 1, 0, silence);
            for (nframes_t j = 0; j < 256; ++j) {
                ASSERT_NEAR(rig.out(0, 0)[j], 0.5f, 0.02f) << "rate " << rate << " block " << b << " frame " << j;
            }
        }
    }
}

TEST_F(LooperTest, OneLoopFollowsAnotherLoopsSyncOutput) {
    auto master = rig.make(0, 1);
    auto follower = rig.make(1, 1);
    ASSERT_TRUE((*master)());
    ASSERT_TRUE((*follower)());
    follower->use_sync_buf(master->get_sync_out_buf());
    LooperRig::control(*master, Event::Quantize, 3.0f);  // a pulse at each loop start
    LooperRig::control(*follower, Event::SyncMode, 1.0f);
    for (unsigned int i = 0; i < 2; ++i) std::fill(rig.in(i, 0), rig.in(i, 0) + 256, 0.5f);

    auto both = [&] {
        rig.begin_block();
        master->run(0, 256);
        follower->run(0, 256);
    };

    LooperRig::hit(*master, Event::RECORD);
    for (int b = 0; b < 4; ++b) both();
    LooperRig::hit(*master, Event::RECORD);
    both();  // master playing from frame 1024; its loop starts again every 1024 frames
    ASSERT_NEAR(loop_frames(*master), 1024.0f, 0.5f);

    LooperRig::hit(*follower, Event::RECORD);
    for (int b = 0; b < 3; ++b) {
        both();
        EXPECT_EQ(LooperRig::value(*follower, Event::State), 1.0f) << "block " << b;
    }
    both();  // the master's loop start: recording begins
    EXPECT_EQ(LooperRig::value(*follower, Event::State), 2.0f);
    LooperRig::hit(*follower, Event::RECORD);
    for (int b = 0; b < 3; ++b) {
        both();
        EXPECT_EQ(LooperRig::value(*follower, Event::State), 3.0f) << "block " << b;
    }
    both();
    both();
    EXPECT_EQ(LooperRig::value(*follower, Event::State), 4.0f);
    EXPECT_NEAR(loop_frames(*follower), 1024.0f, 0.5f);
}

TEST_F(LooperTest, SyncOutputOfALoopThatDidNotRunIsSilent) {
    // No discrete I/O and no engine: channel 0 has no input at all.
    qmtest::TestDriver bare(48000, 256);
    Looper l(&bare, 0, 1, 1.0f, false);
    ASSERT_TRUE(l());
    l.set_buffer_size(512);
    const float* sync = l.get_sync_out_buf();
    for (int i = 0; i < 512; ++i) ASSERT_EQ(sync[i], 0.0f);
    l.run(0, 256);
    for (int i = 0; i < 512; ++i) ASSERT_EQ(sync[i], 0.0f);
    EXPECT_EQ(LooperRig::value(l, Event::InPeakMeter), 0.0f);
}

} // namespace
