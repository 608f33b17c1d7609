// The loop processor's sample walk, driven through its descriptor: recording,
// overdub and its kin, multiply, insert, the playback states, the tap delay,
// sync and the status outputs.
#include "alloc_counter.h"
#include "processor_fixture.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

using qmtest::ProcessorHost;
using Samples = std::vector<float>;

const unsigned long kRate = 1000;  // one sample is a millisecond

class Rig : public ProcessorHost {
public:
    explicit Rig(const char* seconds = "4") : ProcessorHost(kRate, seconds) { ctl[QM_RATE] = 1.0f; }

    // Runs one block of exactly these input samples; returns the output.
    Samples block(const Samples& in) {
        Samples out;
        size_t done = 0;
        do {
            const size_t k = std::min(in.size() - done, input.size());
            std::copy(in.begin() + done, in.begin() + done + k, input.begin());
            run(k);
            out.insert(out.end(), output.begin(), output.begin() + k);
            done += k;
        } while (done < in.size());
        return out;
    }
    Samples silence(size_t n) { return block(Samples(n, 0.0f)); }

    // Records exactly these samples as the loop (threshold 0, sync off).
    void recordLoop(const Samples& v) {
        command(QM_CMD_RECORD);
        block(v);
        command(QM_CMD_RECORD);
    }

    const LoopChunk* head() const { return inst()->headLoopChunk; }
    uint32_t length() const { return head() ? head()->lLoopLength : 0; }
    double position() const { return head() ? head()->dCurrPos : -1.0; }
    float out(int port) const { return ctl[port]; }
};

Samples ramp(size_t n, float from = 1.0f) {
    Samples v(n);
    for (size_t i = 0; i < n; ++i) v[i] = from + float(i);
    return v;
}

Samples constant(size_t n, float value) { return Samples(n, value); }

// ---------------------------------------------------------------------------
// Recording

TEST(ProcessorRecord, ThresholdStartsOnPositiveExcursionAndEndsIntoPlay) {
    Rig h;
    h.ctl[QM_TRIG_THRESH] = 0.5f;
    h.command(QM_CMD_RECORD);
    EXPECT_EQ(h.state(), STATE_REC_WAIT);
    EXPECT_EQ(h.out(QM_WAITING), 1.0f);

    const Samples in = {0.1f, -0.9f, 0.2f, 0.6f, 0.3f, -0.4f};
    EXPECT_EQ(h.block(in), in);  // dry throughout, the trigger sample included
    EXPECT_EQ(h.state(), STATE_RECORD);
    // One sync pulse, on the first recorded sample.
    EXPECT_EQ(Samples(h.syncOut.begin(), h.syncOut.begin() + 6), (Samples{0, 0, 0, 1, 0, 0}));
    EXPECT_EQ(h.length(), 3u);
    EXPECT_FLOAT_EQ(h.out(QM_LOOP_LENGTH_OUT), 0.003f);
    EXPECT_EQ(h.length(), h.head()->lCycleLength);

    h.block({0.5f, 0.25f});
    EXPECT_EQ(Samples(h.syncOut.begin(), h.syncOut.begin() + 2), (Samples{0, 0}));

    // With a threshold the second press runs on to the next sync point,
    // which without sync is the next sample.
    h.command(QM_CMD_RECORD);
    EXPECT_EQ(h.state(), STATE_REC_ENDING);
    EXPECT_EQ(h.out(QM_NEXT_STATE_OUT), float(STATE_PLAY));
    EXPECT_EQ(h.out(QM_WAITING), 1.0f);

    EXPECT_EQ(h.silence(7), (Samples{0.6f, 0.3f, -0.4f, 0.5f, 0.25f, 0.6f, 0.3f}));
    EXPECT_EQ(h.state(), STATE_PLAY);
    EXPECT_EQ(h.out(QM_NEXT_STATE_OUT), -1.0f);
    EXPECT_EQ(h.out(QM_WAITING), 0.0f);
    EXPECT_EQ(h.length(), 5u);
    EXPECT_EQ(h.loopAudio(), (Samples{0.6f, 0.3f, -0.4f, 0.5f, 0.25f}));
    EXPECT_FLOAT_EQ(h.out(QM_LOOP_POS_OUT), 0.002f);
}

TEST(ProcessorRecord, ZeroThresholdAndRelativeSyncStartAtOnce) {
    Rig h;
    h.command(QM_CMD_RECORD);
    h.block({0.0f, 0.0f, 0.0f});
    EXPECT_EQ(h.length(), 3u);

    Rig r;
    r.ctl[QM_SYNC_MODE] = 2.0f;
    r.ctl[QM_TRIG_THRESH] = 0.9f;
    r.command(QM_CMD_RECORD);
    r.block({0.0f, 0.0f});
    EXPECT_EQ(r.state(), STATE_RECORD);
    EXPECT_EQ(r.length(), 2u);
}

// ---------------------------------------------------------------------------
// Overdub, replace, substitute

TEST(ProcessorOverdub, OverdubReplaceSubstituteAndUndo) {
    Rig h;
    const Samples base = {1, 2, 3, 4};
    h.recordLoop(base);

    h.command(QM_CMD_OVERDUB);
    EXPECT_EQ(h.state(), STATE_OVERDUB);
    EXPECT_EQ(h.block(constant(4, 0.5f)), (Samples{1.5f, 2.5f, 3.5f, 4.5f}));
    // Quantize 0 without sync marks every sample.
    EXPECT_EQ(Samples(h.syncOut.begin(), h.syncOut.begin() + 4), constant(4, 1.0f));
    h.command(QM_CMD_OVERDUB);
    EXPECT_EQ(h.state(), STATE_PLAY);
    EXPECT_EQ(h.loopAudio(), (Samples{1.5f, 2.5f, 3.5f, 4.5f}));
    h.command(QM_CMD_UNDO);
    EXPECT_EQ(h.loopAudio(), base);

    h.command(QM_CMD_REPLACE);
    EXPECT_EQ(h.state(), STATE_REPLACE);
    EXPECT_EQ(h.block(constant(4, 9.0f)), constant(4, 9.0f));  // old loop silent
    h.command(QM_CMD_REPLACE);
    EXPECT_EQ(h.loopAudio(), constant(4, 9.0f));
    EXPECT_EQ(h.silence(4), constant(4, 9.0f));
    h.command(QM_CMD_UNDO);
    EXPECT_EQ(h.loopAudio(), base);

    h.command(QM_CMD_SUBSTITUTE);
    EXPECT_EQ(h.state(), STATE_SUBSTITUTE);
    EXPECT_EQ(h.block(constant(4, 7.0f)), (Samples{8, 9, 10, 11}));  // old loop heard
    h.command(QM_CMD_SUBSTITUTE);
    EXPECT_EQ(h.loopAudio(), constant(4, 7.0f));
    h.command(QM_CMD_UNDO);
    EXPECT_EQ(h.loopAudio(), base);
}

TEST(ProcessorOverdub, FeedbackAndSafetyScaleTheOldContent) {
    Rig h;
    h.recordLoop({1, 1, 1, 1});
    h.ctl[QM_FEEDBACK] = 0.5f;
    h.silence(4);  // the feedback ramp arrives
    h.ctl[QM_USE_SAFETY_FEEDBACK] = 1.0f;
    h.command(QM_CMD_OVERDUB);
    h.silence(4);
    h.command(QM_CMD_OVERDUB);
    for (float v : h.loopAudio()) EXPECT_FLOAT_EQ(v, 0.5f * 0.96f);
}

TEST(ProcessorOverdub, EmptyLoopPassesDryAndKeepsTheState) {
    Rig h;
    h.command(QM_CMD_RECORD);
    h.command(QM_CMD_RECORD);  // a recording of no samples
    h.command(QM_CMD_OVERDUB);
    h.ctl[QM_DRY] = 0.5f;
    h.block({1, 1, 1, 1});
    const Samples out = h.block({2, 2});
    EXPECT_EQ(out, (Samples{1, 1}));
}

TEST(ProcessorOverdub, CrossfadesInAndOutOfAnOverdub) {
    Rig h;
    h.ctl[QM_FADE_SAMPLES] = 4.0f;
    h.recordLoop(constant(16, 0.0f));
    h.silence(16);
    h.command(QM_CMD_OVERDUB);
    h.block(constant(16, 1.0f));
    Samples loop = h.loopAudio();
    EXPECT_FLOAT_EQ(loop[0], 0.25f);
    EXPECT_FLOAT_EQ(loop[1], 0.5f);
    EXPECT_FLOAT_EQ(loop[2], 0.75f);
    EXPECT_FLOAT_EQ(loop[3], 1.0f);
    // Stopped: the input still coming in fades out of the loop.
    h.command(QM_CMD_OVERDUB);
    h.block(constant(16, 2.0f));
    loop = h.loopAudio();
    EXPECT_FLOAT_EQ(loop[0], 0.25f + 1.5f);
    EXPECT_FLOAT_EQ(loop[1], 0.5f + 1.0f);
    EXPECT_FLOAT_EQ(loop[2], 0.75f + 0.5f);
    EXPECT_FLOAT_EQ(loop[3], 1.0f);
    EXPECT_FLOAT_EQ(loop[15], 1.0f);
}

// ---------------------------------------------------------------------------
// Multiply and insert

TEST(ProcessorMultiply, TwoCyclesThenCutAndBackFilled) {
    Rig h;
    h.recordLoop({1, 2, 3, 4});
    h.silence(4);
    h.command(QM_CMD_MULTIPLY);
    EXPECT_EQ(h.state(), STATE_MULTIPLY);
    EXPECT_EQ(h.block(constant(6, 10.0f)), (Samples{11, 12, 13, 14, 11, 12}));
    EXPECT_EQ(h.length(), 8u);
    EXPECT_EQ(h.head()->lCycles, 2u);

    h.command(QM_CMD_MULTIPLY);  // ends now, two whole cycles
    EXPECT_EQ(h.state(), STATE_PLAY);
    EXPECT_EQ(h.silence(8), (Samples{3, 4, 11, 12, 13, 14, 11, 12}));
    EXPECT_EQ(h.loopAudio(), (Samples{11, 12, 13, 14, 11, 12, 3, 4}));
    EXPECT_FLOAT_EQ(h.out(QM_CYCLE_LENGTH_OUT), 0.004f);
    EXPECT_FLOAT_EQ(h.out(QM_LOOP_LENGTH_OUT), 0.008f);

    h.command(QM_CMD_UNDO);
    EXPECT_EQ(h.loopAudio(), (Samples{1, 2, 3, 4}));
}

TEST(ProcessorMultiply, RoundModeRunsOnToTheCycleEnd) {
    Rig h;
    h.ctl[QM_ROUND] = 1.0f;
    h.recordLoop({1, 2, 3, 4});
    h.silence(4);
    h.command(QM_CMD_MULTIPLY);
    h.block(constant(5, 10.0f));  // into the second cycle
    h.command(QM_CMD_MULTIPLY);
    EXPECT_EQ(h.state(), STATE_MULTIPLY);
    EXPECT_EQ(h.out(QM_WAITING), 1.0f);
    EXPECT_EQ(h.out(QM_NEXT_STATE_OUT), float(STATE_PLAY));
    h.block(constant(4, 20.0f));
    EXPECT_EQ(h.state(), STATE_PLAY);
    EXPECT_EQ(h.out(QM_WAITING), 0.0f);
    EXPECT_EQ(h.out(QM_NEXT_STATE_OUT), -1.0f);
    EXPECT_EQ(h.loopAudio(), (Samples{11, 12, 13, 14, 11, 22, 23, 24}));
}

TEST(ProcessorMultiply, MuteAsNextStateSilencesTheLoop) {
    Rig h;
    h.ctl[QM_ROUND] = 1.0f;
    h.recordLoop({1, 2, 3, 4});
    h.command(QM_CMD_MULTIPLY);
    h.block(constant(1, 0.0f));
    h.command(QM_CMD_MUTE);
    EXPECT_EQ(h.block({5, 5}), (Samples{5, 5}));  // dry only
}

TEST(ProcessorInsert, OneCycleWithRoundMode) {
    Rig h;
    h.ctl[QM_ROUND] = 1.0f;
    h.recordLoop({1, 2, 3, 4});
    h.silence(1);
    h.command(QM_CMD_INSERT);
    EXPECT_EQ(h.state(), STATE_INSERT);
    EXPECT_EQ(h.block({10, 20, 30}), (Samples{10, 20, 30}));  // the loop fades out
    h.command(QM_CMD_INSERT);
    EXPECT_EQ(h.out(QM_WAITING), 1.0f);
    h.block({40, 0});
    EXPECT_EQ(h.state(), STATE_PLAY);
    h.silence(8);
    EXPECT_EQ(h.loopAudio(), (Samples{1, 10, 20, 30, 40, 2, 3, 4}));
    EXPECT_EQ(h.head()->lCycles, 2u);
    h.command(QM_CMD_UNDO);
    EXPECT_EQ(h.loopAudio(), (Samples{1, 2, 3, 4}));
}

TEST(ProcessorInsert, WithoutRoundModeTheRestOfTheCycleIsSilent) {
    Rig h;
    h.recordLoop({1, 2, 3, 4});
    h.silence(1);
    h.command(QM_CMD_INSERT);
    h.block({10, 20});
    h.command(QM_CMD_INSERT);
    // From the request on only the input is heard, and the rest of the
    // inserted cycle stays silent; then the rest of the loop follows.
    EXPECT_EQ(h.block({30, 40, 50, 60}), (Samples{30, 40, 50 + 2, 60 + 3}));
    h.silence(8);
    EXPECT_EQ(h.loopAudio(), (Samples{1, 10, 20, 0, 0, 2, 3, 4}));
}

// ---------------------------------------------------------------------------
// Playback states

TEST(ProcessorPlay, ReverseAndRateOutput) {
    Rig h;
    h.ctl[QM_RATE] = 0.5f;
    h.recordLoop(ramp(8));
    EXPECT_EQ(h.silence(3), (Samples{1, 2, 3}));
    EXPECT_FLOAT_EQ(h.out(QM_TRUE_RATE_OUT), 0.5f);
    h.command(QM_CMD_REVERSE);
    EXPECT_FLOAT_EQ(h.out(QM_TRUE_RATE_OUT), -0.5f);
    // The position turns round at the sample last played.
    EXPECT_EQ(h.silence(6), (Samples{2, 1, 8, 7, 6, 5}));
    EXPECT_GE(h.position(), 0.0);
}

TEST(ProcessorPlay, OneShotEndsMutedAndMuteKeepsThePositionRunning) {
    Rig h;
    h.recordLoop(ramp(4));
    h.silence(2);
    h.command(QM_CMD_ONESHOT);
    EXPECT_EQ(h.state(), STATE_ONESHOT);
    EXPECT_EQ(h.block(constant(6, 0.5f)), (Samples{1.5f, 2.5f, 3.5f, 4.5f, 0.5f, 0.5f}));
    EXPECT_EQ(h.state(), STATE_MUTE);

    h.silence(1);  // position 3 of 4
    h.command(QM_CMD_MUTE);
    EXPECT_EQ(h.state(), STATE_PLAY);
    EXPECT_EQ(h.silence(2), (Samples{4, 1}));
}

TEST(ProcessorPlay, NoLoopReportsOffExceptMuteAndWait) {
    Rig h;
    h.silence(4);
    EXPECT_EQ(h.state(), STATE_OFF);
    EXPECT_EQ(h.out(QM_LOOP_LENGTH_OUT), 0.0f);
    EXPECT_EQ(h.out(QM_LOOP_POS_OUT), 0.0f);
    h.command(QM_CMD_MUTE);
    EXPECT_EQ(h.state(), STATE_MUTE);
    h.ctl[QM_TRIG_THRESH] = 0.5f;
    h.command(QM_CMD_RECORD);
    EXPECT_EQ(h.state(), STATE_REC_WAIT);
    // The whole memory, whatever is used.
    EXPECT_FLOAT_EQ(h.out(QM_SECS_FREE_OUT), 4.096f);
}

TEST(ProcessorPlay, ScratchFollowsTheControlThenLapses) {
    Rig h("64");
    h.ctl[QM_SCRATCH_POS] = 0.0f;
    h.recordLoop(constant(40000, 0.0f));
    h.silence(10000);
    ASSERT_DOUBLE_EQ(h.position(), 10000.0);
    h.command(QM_CMD_SCRATCH);
    ASSERT_EQ(h.state(), STATE_SCRATCH);

    // A first move after a long rest only arms the control; the loop stands.
    h.ctl[QM_SCRATCH_POS] = 0.25f;
    for (int i = 0; i < 100; ++i) h.silence(100);
    EXPECT_DOUBLE_EQ(h.position(), 10000.0);

    // Half the loop in 10000 samples: two samples per sample, from the block
    // after the one that sees the move (a block sees where its ramp starts).
    h.ctl[QM_SCRATCH_POS] = 0.75f;
    h.silence(100);
    EXPECT_DOUBLE_EQ(h.position(), 10000.0);
    h.silence(100);
    EXPECT_DOUBLE_EQ(h.position(), 10100.0);
    EXPECT_FLOAT_EQ(h.inst()->fCurrScratchRate, 2.0f);
    h.silence(100);
    EXPECT_DOUBLE_EQ(h.position(), 10300.0);

    // It stops once the target is reached.
    for (int i = 0; i < 120; ++i) h.silence(100);
    EXPECT_GE(h.position(), 30000.0);
    EXPECT_LT(h.position(), 30200.0);
    const double at = h.position();
    h.silence(100);
    EXPECT_DOUBLE_EQ(h.position(), at);
    EXPECT_EQ(h.inst()->fCurrScratchRate, 0.0f);
}

TEST(ProcessorPlay, PlaybackSyncRestartsNearTheLoopEndOncePerPass) {
    Rig h;
    h.recordLoop(ramp(100, 0.0f));
    h.ctl[QM_SYNC_MODE] = 1.0f;
    h.ctl[QM_QUANT_MODE] = 1.0f;
    h.ctl[QM_PLAYBACK_SYNC] = 1.0f;
    h.ctl[QM_TEMPO] = 1000.0f;          // an eighth is 30 samples
    h.ctl[QM_EIGHTH_PER_CYCLE] = 2.0f;  // window: 30 samples
    h.silence(75);
    Samples in(10, 0.0f);
    h.syncIn.assign(h.syncIn.size(), 0.0f);
    h.syncIn[2] = 1.0f;  // at position 77, within 30 of the end
    h.syncIn[5] = 1.0f;  // once per pass only
    const Samples out = h.block(in);
    EXPECT_EQ(out[2], 77.0f);
    EXPECT_EQ(out[3], 1.0f);  // restarted at 0 and stepped on
    EXPECT_EQ(out[6], 4.0f);
    EXPECT_EQ(h.syncOut[2], 1.0f);
    h.syncIn.assign(h.syncIn.size(), 0.0f);
}

// ---------------------------------------------------------------------------
// Tap delay

TEST(ProcessorDelay, TapLengthEchoesWithFeedbackAndHoldFreezes) {
    Rig h;
    h.ctl[QM_FEEDBACK] = 0.5f;
    h.command(QM_CMD_DELAY);
    EXPECT_EQ(h.state(), STATE_DELAY);
    EXPECT_EQ(h.block(constant(100, 0.25f)), constant(100, 0.25f));  // dry until the second tap
    h.command(QM_CMD_DELAY);
    EXPECT_EQ(h.length(), 100u);

    Samples in(250, 0.0f);
    in[0] = 1.0f;
    Samples out = h.block(in);
    EXPECT_EQ(out[0], 1.0f);
    EXPECT_EQ(out[1], 0.0f);
    EXPECT_EQ(out[100], 1.0f);
    EXPECT_EQ(out[200], 0.5f);
    EXPECT_FALSE(h.head()->backfill);

    h.command(QM_CMD_REPLACE);  // hold
    EXPECT_TRUE(h.inst()->bHoldMode);
    in.assign(300, 0.0f);
    in[50] = 1.0f;  // position 0 again: not written while held
    out = h.block(in);
    EXPECT_EQ(out[50], 1.25f);
    EXPECT_EQ(out[150], 0.25f);
    EXPECT_EQ(out[250], 0.25f);
}

// ---------------------------------------------------------------------------
// Waiting commands

TEST(ProcessorSync, QuantizedMultiplyWaitsForTheCycleStart) {
    Rig h;
    h.recordLoop(ramp(8));
    h.ctl[QM_QUANT_MODE] = 1.0f;
    h.silence(3);
    h.command(QM_CMD_MULTIPLY);
    EXPECT_EQ(h.state(), STATE_PLAY);
    EXPECT_EQ(h.out(QM_WAITING), 1.0f);
    EXPECT_EQ(h.out(QM_NEXT_STATE_OUT), float(STATE_MULTIPLY));

    const Samples out = h.block(constant(8, 10.0f));
    EXPECT_EQ(h.syncOut[5], 1.0f);
    EXPECT_EQ(out, (Samples{14, 15, 16, 17, 18, 11, 12, 13}));
    EXPECT_EQ(h.state(), STATE_MULTIPLY);
    EXPECT_EQ(h.out(QM_WAITING), 0.0f);
    EXPECT_EQ(h.out(QM_NEXT_STATE_OUT), -1.0f);
}

TEST(ProcessorSync, SyncInputReleasesAWaitingReplace) {
    Rig h;
    h.recordLoop(ramp(8));
    h.ctl[QM_SYNC_MODE] = 1.0f;
    h.command(QM_CMD_REPLACE);
    EXPECT_EQ(h.out(QM_NEXT_STATE_OUT), float(STATE_REPLACE));
    h.syncIn[2] = 1.0f;
    const Samples out = h.block(constant(5, 100.0f));
    h.syncIn[2] = 0.0f;
    EXPECT_EQ(out, (Samples{101, 102, 100, 100, 100}));
    EXPECT_EQ(h.state(), STATE_REPLACE);
    EXPECT_EQ(h.syncOut[2], 1.0f);  // the input pulse passes through
}

TEST(ProcessorSync, RelativeSyncEndsARecordingAtTheSameOffset) {
    Rig h;
    h.ctl[QM_SYNC_MODE] = 2.0f;
    h.syncIn[0] = 1.0f;
    h.silence(3);  // three samples after the pulse
    h.syncIn[0] = 0.0f;
    h.command(QM_CMD_RECORD);
    h.silence(10);
    h.command(QM_CMD_RECORD);  // runs on to three samples after the next pulse
    EXPECT_EQ(h.state(), STATE_REC_ENDING);
    h.syncIn[4] = 1.0f;
    h.silence(12);
    h.syncIn[4] = 0.0f;
    EXPECT_EQ(h.state(), STATE_PLAY);
    EXPECT_EQ(h.length(), 17u);  // ten, then up to three after the pulse at 4
    // One pulse marks where it ended, on the first sample after it without one.
    EXPECT_EQ(h.syncOut[7], 1.0f);
    EXPECT_EQ(h.syncOut[8], 0.0f);
}

// ---------------------------------------------------------------------------
// Faults mended

TEST(ProcessorFaults, RoundedMultiplyWithItsSourceGoneEndsInsteadOfHanging) {
    Rig h;
    h.ctl[QM_ROUND] = 1.0f;
    h.recordLoop(ramp(8));
    h.silence(8);
    h.command(QM_CMD_MULTIPLY);
    h.silence(3);
    // The source has been overwritten (as by material wrapping the memory).
    const_cast<LoopChunk*>(h.head())->srcloop->valid = 0;
    h.silence(4);
    EXPECT_EQ(h.state(), STATE_PLAY);
    EXPECT_EQ(h.length(), 8u);
}

TEST(ProcessorFaults, MultiplyTooLongForTheMemoryStopsBeforeOverwritingItsSource) {
    // 25 s at 1 kHz in 65.5 s of memory: two cycles and the source do not fit.
    Rig h("64");
    h.ctl[QM_ROUND] = 1.0f;
    h.recordLoop(constant(25000, 0.5f));
    h.silence(25000);
    h.command(QM_CMD_MULTIPLY);
    h.block(constant(30000, 0.25f));
    EXPECT_EQ(h.state(), STATE_PLAY);
    EXPECT_EQ(h.length(), 25000u);
    for (float v : h.loopAudio()) ASSERT_FLOAT_EQ(v, 0.75f);
    h.command(QM_CMD_UNDO);
    for (float v : h.loopAudio()) ASSERT_FLOAT_EQ(v, 0.5f);
}

TEST(ProcessorFaults, SyncedRecordGivesTheNextStateItsFullLength) {
    Rig h;
    h.ctl[QM_SYNC_MODE] = 1.0f;
    h.syncIn[0] = 1.0f;
    h.command(QM_CMD_RECORD);
    h.block(ramp(10));  // starts on the pulse
    h.syncIn[0] = 0.0f;
    h.command(QM_CMD_OVERDUB);
    EXPECT_EQ(h.state(), STATE_REC_ENDING);
    h.syncIn[5] = 1.0f;
    h.block({11, 12, 13, 14, 15, 0, 0, 0});
    h.syncIn[5] = 0.0f;
    EXPECT_EQ(h.state(), STATE_OVERDUB);
    EXPECT_EQ(h.length(), 15u);
    EXPECT_EQ(h.head()->srcloop->lLoopLength, 15u);
    h.silence(20);
    h.ctl[QM_SYNC_MODE] = 0.0f;
    h.command(QM_CMD_OVERDUB);
    EXPECT_EQ(h.loopAudio(), ramp(15));
}

TEST(ProcessorFaults, WaitingMultiplyReleasedWhileReversedRunsForward) {
    Rig h;
    h.recordLoop(ramp(8));
    h.silence(4);
    h.command(QM_CMD_REVERSE);
    h.ctl[QM_QUANT_MODE] = 1.0f;
    h.command(QM_CMD_MULTIPLY);
    // Backwards from 3 to the cycle start at 0, then multiplying forwards.
    const Samples out = h.block(constant(10, 10.0f));
    EXPECT_EQ(out, (Samples{13, 12, 11, 12, 13, 14, 15, 16, 17, 18}));
    EXPECT_EQ(h.state(), STATE_MULTIPLY);
    EXPECT_DOUBLE_EQ(h.position(), 8.0);
    EXPECT_FLOAT_EQ(h.out(QM_TRUE_RATE_OUT), 1.0f);
    h.ctl[QM_QUANT_MODE] = 0.0f;
    h.command(QM_CMD_MULTIPLY);
    h.silence(8);
    EXPECT_EQ(h.loopAudio(), (Samples{11, 12, 13, 14, 15, 16, 17, 18}));
}

TEST(ProcessorFaults, ReversedTapDelayClearsItsWholeLineAndStaysInside) {
    Rig h;
    h.recordLoop(constant(300, 0.7f));  // leaves old material in the memory
    h.command(QM_CMD_UNDO);
    ASSERT_EQ(h.head(), nullptr);
    h.command(QM_CMD_DELAY);
    h.silence(100);
    h.command(QM_CMD_REVERSE);
    h.command(QM_CMD_DELAY);
    ASSERT_EQ(h.length(), 100u);
    const Samples out = h.silence(300);
    for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], 0.0f) << "sample " << i;
    EXPECT_GE(h.position(), 0.0);
    EXPECT_LT(h.position(), 100.0);
    EXPECT_FALSE(h.head()->backfill);
}

TEST(ProcessorFaults, InsertAtTheLoopStartGrowsOnlyAtTheCycleEnd) {
    Rig h;
    h.recordLoop(ramp(6));  // a cycle that is not a power of two
    h.command(QM_CMD_INSERT);
    h.block(constant(4, 10.0f));
    EXPECT_EQ(h.length(), 12u);
    h.block(constant(2, 10.0f));
    EXPECT_EQ(h.length(), 18u);  // the second cycle begins
    EXPECT_EQ(h.head()->lCycles, 3u);
}

TEST(ProcessorFaults, InsertGrowthClaimsItsMemoryAndStopsWhenFull) {
    Rig h;  // 4096 samples
    h.recordLoop(constant(1000, 1.0f));
    h.command(QM_CMD_OVERDUB);
    h.block(constant(1000, 1.0f));
    h.command(QM_CMD_OVERDUB);  // a full copy, 2.0 everywhere
    h.command(QM_CMD_INSERT);
    // Room for the source and two inserted cycles, not three.
    h.block(constant(3500, 5.0f));
    EXPECT_EQ(h.state(), STATE_PLAY);
    EXPECT_EQ(h.length(), 3000u);
    h.silence(3000);
    const Samples loop = h.loopAudio();
    ASSERT_EQ(loop.size(), 3000u);
    for (size_t i = 0; i < 2000; ++i) ASSERT_FLOAT_EQ(loop[i], 5.0f) << i;
    for (size_t i = 2000; i < 3000; ++i) ASSERT_FLOAT_EQ(loop[i], 2.0f) << i;

    // The first recording's memory was claimed: undo stops at the overdub.
    h.command(QM_CMD_UNDO);
    EXPECT_EQ(h.length(), 1000u);
    EXPECT_FALSE(h.head()->prev != nullptr && h.head()->prev->valid);
    // Nor past it: the overdub stays rather than leave no loop.
    const uint32_t refused = qm_memory_refusals(h.handle);
    h.command(QM_CMD_UNDO);
    EXPECT_EQ(h.length(), 1000u);
    EXPECT_EQ(qm_memory_refusals(h.handle), refused + 1);
}

TEST(ProcessorFaults, RampsLandOnTheirTargetWithoutOvershoot) {
    Rig h;
    h.recordLoop(constant(8, 1.0f));
    h.ctl[QM_WET] = 0.0f;
    EXPECT_EQ(h.silence(2), (Samples{0.5f, 0.0f}));
    h.ctl[QM_WET] = 1.0f;
    EXPECT_EQ(h.silence(4), (Samples{0.25f, 0.5f, 0.75f, 1.0f}));
    // A change seen in a run of no samples ramps in the next block, not at once.
    h.ctl[QM_WET] = 0.0f;
    h.run(0);
    EXPECT_EQ(h.silence(2), (Samples{0.5f, 0.0f}));
}

TEST(ProcessorFaults, DegenerateGridsDoNotDivideByZero) {
    Rig h;
    h.recordLoop(ramp(8));
    h.ctl[QM_TEMPO] = 1e9f;  // an eighth shorter than a sample
    h.ctl[QM_QUANT_MODE] = 2.0f;
    h.silence(16);
    EXPECT_EQ(h.syncOut[0], 1.0f);
    EXPECT_EQ(h.syncOut[1], 1.0f);
    h.ctl[QM_QUANT_MODE] = 1.0f;
    const_cast<LoopChunk*>(h.head())->lCycleLength = 0;
    h.silence(8);
    EXPECT_EQ(Samples(h.syncOut.begin(), h.syncOut.begin() + 8), (Samples{1, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(ProcessorFaults, QuantizedInsertBegunMidCycleCopiesUpToItsStartAndAddsOneCycle) {
    Rig h;
    h.ctl[QM_ROUND] = 1.0f;
    h.ctl[QM_TEMPO] = 1000.0f;  // an eighth is 30 samples
    h.recordLoop(ramp(120, 0.0f));
    LoopChunk* loop = const_cast<LoopChunk*>(h.head());
    loop->lCycles = 2;
    loop->lCycleLength = 60;
    h.silence(10);
    h.ctl[QM_QUANT_MODE] = 2.0f;  // released on the next eighth, mid-cycle
    h.command(QM_CMD_INSERT);
    h.silence(21);  // released at position 30
    ASSERT_EQ(h.state(), STATE_INSERT);
    EXPECT_EQ(h.length(), 180u);
    // The source plays on to the cycle boundary, then the insert begins.
    Samples out = h.block(constant(30, 1000.0f));
    for (int i = 0; i < 29; ++i) EXPECT_EQ(out[i], 1031.0f + i) << i;
    EXPECT_EQ(out[29], 1000.0f);
    EXPECT_EQ(h.length(), 180u);
    h.block(constant(20, 1000.0f));
    h.command(QM_CMD_INSERT);  // one cycle, rounded
    h.block(constant(40, 1000.0f));
    EXPECT_EQ(h.state(), STATE_PLAY);
    EXPECT_EQ(h.length(), 180u);
    h.silence(200);
    const Samples audio = h.loopAudio();
    ASSERT_EQ(audio.size(), 180u);
    for (int i = 0; i < 60; ++i) EXPECT_EQ(audio[i], float(i)) << i;
    for (int i = 60; i < 120; ++i) EXPECT_EQ(audio[i], 1000.0f) << i;
    for (int i = 120; i < 180; ++i) EXPECT_EQ(audio[i], float(i - 60)) << i;
}

TEST(ProcessorFaults, MemoryFullInPlayStopsWritingTheInput) {
    Rig h("1");  // 1024 samples
    h.command(QM_CMD_RECORD);
    h.block(constant(1000, 0.5f));
    h.block(constant(100, 0.5f));  // no room: plays the first thousand
    EXPECT_EQ(h.state(), STATE_PLAY);
    EXPECT_EQ(h.length(), 1000u);
    h.block(constant(1000, 0.25f));
    for (float v : h.loopAudio()) ASSERT_FLOAT_EQ(v, 0.5f);
}

TEST(ProcessorFaults, ReverseWhileAnOverdubIsStillCopyingKeepsEveryCell) {
    Rig h;
    h.recordLoop(constant(100, 0.7f));  // old material behind the loop
    h.command(QM_CMD_UNDO);
    h.recordLoop(ramp(16));
    h.silence(4);
    h.command(QM_CMD_OVERDUB);
    h.block({0, 0, 0, 0.5f});  // position 7 gets new material
    h.command(QM_CMD_REVERSE);
    EXPECT_EQ(h.silence(3), (Samples{7.0f, 6.0f, 5.0f}));
    h.silence(40);
    h.command(QM_CMD_OVERDUB);
    h.silence(40);
    Samples expect = ramp(16);
    expect[7] += 0.5f;
    EXPECT_EQ(h.loopAudio(), expect);
}

TEST(ProcessorFaults, ReverseTakenAtTheWrapDuringAnOverdubFillsEveryCell) {
    Rig h;
    h.recordLoop(ramp(16));
    h.silence(4);
    h.ctl[QM_QUANT_MODE] = 1.0f;
    h.command(QM_CMD_OVERDUB);  // begins at once at 4
    h.command(QM_CMD_REVERSE);  // pending, taken at the wrap
    EXPECT_EQ(h.out(QM_WAITING), 1.0f);
    h.silence(14);  // forward to 15, then back down from 14
    EXPECT_EQ(h.inst()->fCurrRate, -1.0f);
    h.silence(40);
    h.ctl[QM_QUANT_MODE] = 0.0f;
    h.command(QM_CMD_OVERDUB);
    h.silence(20);
    EXPECT_EQ(h.loopAudio(), ramp(16));  // every cell copied, nothing stale
}

TEST(ProcessorFaults, MultiplyOfAMultiCycleLoopKeepsEveryCycleItWrote) {
    Rig h;
    h.recordLoop(ramp(12));
    LoopChunk* c = const_cast<LoopChunk*>(h.head());
    c->lCycles = 3;  // three cycles of 4
    c->lCycleLength = 4;
    h.silence(10);  // in the third cycle, two samples into it
    h.command(QM_CMD_MULTIPLY);
    EXPECT_EQ(h.head()->lStartAdj, 8u);
    h.block(constant(14, 100.0f));
    h.command(QM_CMD_MULTIPLY);
    // The chunk starts at the third source cycle: its first two cells come
    // from there, and the copy never lands on the cycles the multiply wrote.
    EXPECT_EQ(h.loopAudio(), (Samples{9, 10, 111, 112, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111, 112}));
}

TEST(ProcessorFaults, LoopEnteredFromAMuteFadesInWhenOverdubbedOrMultiplied) {
    for (int cmd : {QM_CMD_OVERDUB, QM_CMD_MULTIPLY}) {
        Rig h;
        h.recordLoop(constant(8, 1.0f));
        h.ctl[QM_FADE_SAMPLES] = 4.0f;
        h.silence(8);
        h.command(QM_CMD_MUTE);
        EXPECT_EQ(h.silence(8), (Samples{0.75f, 0.5f, 0.25f, 0, 0, 0, 0, 0}));
        h.command(cmd);
        EXPECT_EQ(h.silence(6), (Samples{0.25f, 0.5f, 0.75f, 1, 1, 1})) << cmd;
        h.command(cmd);  // back to play: no dip either
        EXPECT_EQ(h.silence(4), constant(4, 1.0f)) << cmd;
    }
}

TEST(ProcessorFaults, NewRecordingTakesNoCrossfadeFromTheStateBefore) {
    // An overdub leaves the loop fade open, a replace the feed fade closed:
    // the new loop still fades in from its start, and play keeps it whole.
    for (int before : {QM_CMD_OVERDUB, QM_CMD_REPLACE}) {
        Rig h;
        h.recordLoop(constant(16, 1.0f));
        h.ctl[QM_FADE_SAMPLES] = 4.0f;
        h.silence(8);
        h.command(before);
        h.silence(8);
        h.command(QM_CMD_RECORD);
        h.block(constant(8, 2.0f));
        EXPECT_EQ(h.state(), STATE_RECORD);
        h.command(QM_CMD_RECORD);
        h.silence(16);
        EXPECT_EQ(h.loopAudio(), (Samples{0.5f, 1, 1.5f, 2, 2, 2, 2, 2})) << before;
    }
}

TEST(ProcessorFaults, UndoLeavesTheVersionItReturnsToUntouched) {
    // The crossfade out of the undone overdub or replace is not written into
    // the older version: neither the input nor a fade of its content.
    for (int cmd : {QM_CMD_OVERDUB, QM_CMD_REPLACE, QM_CMD_SUBSTITUTE}) {
        Rig h;
        h.recordLoop(constant(16, 1.0f));
        h.ctl[QM_FADE_SAMPLES] = 4.0f;
        h.silence(16);
        h.command(cmd);
        h.block(constant(8, 5.0f));
        h.command(QM_CMD_UNDO);
        EXPECT_EQ(h.state(), STATE_PLAY);
        h.block(constant(16, 5.0f));
        EXPECT_EQ(h.loopAudio(), constant(16, 1.0f)) << cmd;
    }
}

TEST(ProcessorFaults, OverdubAfterAReplaceKeepsTheOldContent) {
    Rig h;
    h.recordLoop(constant(16, 1.0f));
    h.silence(16);
    h.command(QM_CMD_REPLACE);
    h.block(constant(4, 3.0f));
    h.command(QM_CMD_OVERDUB);
    h.block(constant(8, 0.5f));
    h.command(QM_CMD_OVERDUB);
    h.silence(16);
    Samples expect = constant(16, 1.0f);
    for (int i = 0; i < 4; ++i) expect[i] = 3.0f;
    for (int i = 4; i < 12; ++i) expect[i] = 1.5f;
    EXPECT_EQ(h.loopAudio(), expect);
}

TEST(ProcessorFaults, MultiplyEndedIntoAnOverdubRecordsTheInput) {
    Rig h;
    h.recordLoop(constant(8, 1.0f));
    h.ctl[QM_FADE_SAMPLES] = 2.0f;
    h.silence(8);
    h.command(QM_CMD_MULTIPLY);
    h.silence(12);  // two cycles, four samples into the second
    h.command(QM_CMD_OVERDUB);
    EXPECT_EQ(h.state(), STATE_OVERDUB);
    h.block(constant(8, 0.5f));
    h.command(QM_CMD_OVERDUB);
    h.silence(16);
    Samples expect = constant(16, 1.0f);
    for (int i : {0, 1, 2, 3, 12, 13, 14, 15}) expect[i] = 1.5f;
    EXPECT_EQ(h.loopAudio(), expect);
}

TEST(ProcessorFaults, InputThatIsNotFiniteNeverReachesTheLoop) {
    Rig h;
    h.recordLoop(constant(8, 1.0f));
    h.silence(8);
    Samples in = constant(8, 0.0f);
    in[2] = INFINITY;  // plain play: closed loop fade times infinity
    in[5] = NAN;
    h.block(in);
    h.command(QM_CMD_OVERDUB);
    h.block(in);
    h.command(QM_CMD_OVERDUB);
    EXPECT_EQ(h.silence(8), constant(8, 1.0f));
    EXPECT_EQ(h.loopAudio(), constant(8, 1.0f));
}

TEST(ProcessorFaults, RestartGivenRightAfterAReverseStartsAtTheLoopEnd) {
    // No sample has played backwards yet when the restart comes: the start
    // it sets is not turned round again.
    Rig h;
    h.recordLoop(ramp(8));
    h.silence(3);
    h.command(QM_CMD_REVERSE);
    h.command(QM_CMD_ONESHOT);
    EXPECT_EQ(h.silence(9), (Samples{8, 7, 6, 5, 4, 3, 2, 1, 0}));
}

// ---------------------------------------------------------------------------
// Where a take is cut, the loop has no hard splice

Samples tone(size_t from, size_t n, float amplitude, float period) {
    Samples v(n);
    for (size_t i = 0; i < n; ++i) v[i] = amplitude * float(std::sin(6.283185307179586 * double(from + i) / period));
    return v;
}

// The largest difference between neighbouring samples, round the loop.
float largestStep(const Samples& loop) {
    float step = 0.0f;
    for (size_t i = 0; i < loop.size(); ++i) step = std::max(step, std::fabs(loop[(i + 1) % loop.size()] - loop[i]));
    return step;
}

// A loop of one tone, then `take` begun a sixth into it with another tone
// coming in, cut after 350 frames by `cut` (the tone goes on throughout).
// Returns the loop once it has played round whole.
template <typename Cut>
Samples cutTake(int take, Cut cut) {
    Rig h;
    h.ctl[QM_FADE_SAMPLES] = 64.0f;
    h.recordLoop(tone(0, 600, 0.5f, 200.0f));
    h.silence(100);
    h.command(take);
    size_t t = 0;
    auto play = [&](size_t n) {
        h.block(tone(t, n, 0.4f, 150.0f));
        t += n;
    };
    play(350);
    cut(h, play);
    play(3000);
    return h.loopAudio();
}

TEST(ProcessorCuts, UndoAllThenRedoAllFadesTheCutAsTheCommandEndingTheTakeThere) {
    // Undo all makes a multiply its whole cycles, as a multiply ended without
    // rounding, and an insert what was inserted before the rest, as RECORD.
    const int cases[][2] = {{QM_CMD_MULTIPLY, QM_CMD_MULTIPLY},
                            {QM_CMD_INSERT, QM_CMD_RECORD},
                            {QM_CMD_OVERDUB, QM_CMD_OVERDUB},
                            {QM_CMD_REPLACE, QM_CMD_REPLACE},
                            {QM_CMD_SUBSTITUTE, QM_CMD_SUBSTITUTE}};
    for (const auto& c : cases) {
        const Samples ended = cutTake(c[0], [&](Rig& h, auto&) { h.command(c[1]); });
        const Samples undone = cutTake(c[0], [](Rig& h, auto& play) {
            h.command(QM_CMD_UNDO_ALL);
            play(20);
            h.command(QM_CMD_REDO_ALL);
        });
        ASSERT_EQ(undone.size(), ended.size()) << c[0];
        EXPECT_LT(largestStep(ended), 0.05f) << c[0];  // the tones' own steps
        EXPECT_LE(largestStep(undone), largestStep(ended)) << c[0];
    }
}

TEST(ProcessorCuts, MultiplyEndedByRecordFadesItsNewEndIntoItsStart) {
    const Samples multiplied = cutTake(QM_CMD_MULTIPLY, [](Rig& h, auto&) { h.command(QM_CMD_MULTIPLY); });
    const Samples recorded = cutTake(QM_CMD_MULTIPLY, [](Rig& h, auto&) { h.command(QM_CMD_RECORD); });
    ASSERT_EQ(recorded.size(), 450u);
    EXPECT_LE(largestStep(recorded), largestStep(multiplied));
}

// The largest difference between neighbouring samples of [from, to).
float largestStep(const Samples& v, size_t from, size_t to) {
    float step = 0.0f;
    for (size_t i = from + 1; i < to; ++i) step = std::max(step, std::fabs(v[i] - v[i - 1]));
    return step;
}

TEST(ProcessorCuts, WhatIsHeardFadesWhenACommandTakesItAwayOrBringsItBack) {
    // A loop of a tone heard whole, its peaks every 200 frames, and another
    // tone coming in throughout: `first` after 400 frames, then the command
    // 400 frames later on a peak; steps as multiples of those before `first`.
    const int cases[][2] = {{-1, QM_CMD_UNDO_ALL}, {QM_CMD_UNDO_ALL, QM_CMD_REDO_ALL}, {QM_CMD_MULTIPLY, QM_CMD_RECORD}};
    for (const auto& c : cases) {
        Rig h;
        h.ctl[QM_FADE_SAMPLES] = 64.0f;
        h.plantLoop(600, [](uint32_t i) { return 0.5f * float(std::cos(6.283185307179586 * i / 200.0)); });
        h.inst()->fPlayFadeAtten = 1.0f;
        Samples out;
        auto play = [&](size_t n) {
            const Samples o = h.block(tone(out.size(), n, 0.4f, 150.0f));
            out.insert(out.end(), o.begin(), o.end());
        };
        play(400);
        if (c[0] >= 0) h.command(c[0]);
        play(400);
        h.command(c[1]);
        play(400);
        EXPECT_LE(largestStep(out, 799, 865) / largestStep(out, 0, 400), 1.5f) << c[1];
    }
}

// ---------------------------------------------------------------------------

TEST(ProcessorRealTime, RunAllocatesNothing) {
    Rig h;
    h.ctl[QM_FADE_SAMPLES] = 16.0f;
    h.ctl[QM_SCRATCH_POS] = 0.5f;
    for (size_t i = 0; i < h.input.size(); ++i) h.input[i] = 0.25f * float(i % 7);
    // Command, then that many samples of the state it leads to.
    const int script[][2] = {{QM_CMD_RECORD, 500},  {QM_CMD_RECORD, 300},   {QM_CMD_OVERDUB, 600},
                             {QM_CMD_OVERDUB, 100}, {QM_CMD_MULTIPLY, 700}, {QM_CMD_MULTIPLY, 300},
                             {QM_CMD_INSERT, 300},  {QM_CMD_INSERT, 800},   {QM_CMD_REPLACE, 200},
                             {QM_CMD_UNDO, 100},    {QM_CMD_REVERSE, 200},  {QM_CMD_SCRATCH, 300},
                             {QM_CMD_SCRATCH, 10},  {QM_CMD_ONESHOT, 900},  {QM_CMD_DELAY, 300},
                             {QM_CMD_DELAY, 300},   {QM_CMD_REPLACE, 300}};
    qmtest::AllocationCounter counter;
    for (const auto& step : script) {
        h.ctl[QM_MULTICTRL] = float(step[0]);
        h.run(0);
        h.ctl[QM_MULTICTRL] = -1.0f;
        h.run(unsigned(step[1]));
    }
    EXPECT_EQ(counter.count(), 0u);
    EXPECT_EQ(h.state(), STATE_DELAY);
}

} // namespace
