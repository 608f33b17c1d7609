// The loop processor's descriptor, instance set-up and command handling,
// driven through the descriptor as the looper drives it.
#include "alloc_counter.h"
#include "processor_fixture.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

using qmtest::ProcessorHost;

namespace {

// 1000 Hz and 4 s give a memory of exactly 4096 samples.
const unsigned long kRate = 1000;
const char* const kSecs = "4";

float ramp(unsigned long i) { return 0.001f * float(i % 500) + 0.01f; }
float half(unsigned long) { return 0.5f; }

void setRecording(ProcessorHost& h, uint32_t length) {
    // What the walk leaves while a recording runs: a chunk being written,
    // the input fading in and the loop not yet heard.
    QuillomatI* q = h.inst();
    q->fLoopFadeAtten = 1.0f;
    q->fLoopFadeDelta = 1.0f;
    q->fPlayFadeAtten = 0.0f;
    q->fPlayFadeDelta = 0.0f;
    q->headLoopChunk->dCurrPos = length;
    q->state = STATE_RECORD;
}

}  // namespace

TEST(ProcessorDescriptor, DescribesTheThirtyTwoPorts) {
    LADSPA_Descriptor* d = create_qm_descriptor();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->UniqueID, 1601u);
    EXPECT_STREQ(d->Label, "Quillomat");
    EXPECT_STREQ(d->Name, "Quillomat");
    EXPECT_EQ(d->Properties, 4);
    EXPECT_NE(d->Maker, nullptr);
    EXPECT_NE(d->Copyright, nullptr);
    EXPECT_EQ(d->ImplementationData, nullptr);
    EXPECT_EQ(d->instantiate, &instantiateQuillomat);
    EXPECT_EQ(d->connect_port, &connectPortToQuillomat);
    EXPECT_EQ(d->activate, &activateQuillomat);
    EXPECT_EQ(d->run, &runQuillomat);
    EXPECT_EQ(d->cleanup, &cleanupQuillomat);
    EXPECT_EQ(d->run_adding, nullptr);
    EXPECT_EQ(d->set_run_adding_gain, nullptr);
    EXPECT_EQ(d->deactivate, nullptr);
    ASSERT_EQ(d->PortCount, 32u);

    struct Port {
        const char* name;
        int kind, hint;
        float lo, hi;
    };
    const Port ports[32] = {
        {"Trigger Threshold", 5, 3, 0, 1},   {"Dry Level (dB)", 5, 3, -90, 0},
        {"Wet Level (dB)", 5, 3, -90, 0},    {"Feedback", 5, 3, 0, 1},
        {"Rate", 5, 3, -4, 4},               {"Scratch Destination", 5, 3, 0, 1},
        {"Multi Control", 5, 0x23, 0, 127},  {"Tap Delay Trigger", 5, 4, 0, 0},
        {"Use Feedback Play", 5, 4, 0, 0},   {"Quantize Mode", 5, 0x23, 0, 3},
        {"Round Mode", 5, 4, 0, 0},          {"Redo Tap Mode", 5, 4, 0, 0},
        {"Sync Mode", 5, 4, 0, 0},           {"Use Rate Ctrl", 5, 4, 0, 0},
        {"Fade samples", 5, 0x23, 0, 8192},  {"Tempo", 5, 0x23, 0, 1000},
        {"Playback Sync Mode", 5, 4, 0, 0},  {nullptr, 0, 0, 0, 0},
        {nullptr, 0, 0, 0, 0},               {"State Output", 6, 1, 0, 0},
        {"Loop Length Out (s)", 6, 1, 0, 0}, {"Loop Position Out (s)", 6, 1, 0, 0},
        {"Cycle Length Out (s)", 6, 1, 0, 0}, {"Free Sample Mem (s)", 6, 1, 0, 0},
        {"Total Sample Mem (s)", 6, 1, 0, 0}, {"Waiting", 6, 4, 0, 0},
        {"True Rate", 6, 3, -4, 4},          {"Next State Output", 6, 1, 0, 0},
        {"Input", 9, 1, 0, 0},               {"Output", 10, 1, 0, 0},
        {"Sync Input", 9, 0, 0, 0},          {"Sync Output", 10, 0, 0, 0},
    };
    for (int p = 0; p < 32; ++p) {
        SCOPED_TRACE(p);
        if (ports[p].name) EXPECT_STREQ(d->PortNames[p], ports[p].name);
        else EXPECT_EQ(d->PortNames[p], nullptr);
        EXPECT_EQ(int(d->PortDescriptors[p]), ports[p].kind);
        EXPECT_EQ(int(d->PortRangeHints[p].HintDescriptor), ports[p].hint);
        EXPECT_EQ(d->PortRangeHints[p].LowerBound, ports[p].lo);
        EXPECT_EQ(d->PortRangeHints[p].UpperBound, ports[p].hi);
    }
    cleanup_qm_descriptor(d);
    cleanup_qm_descriptor(nullptr);
}

TEST(ProcessorDescriptor, LibraryEntryPointsShareOneDescriptor) {
    qm_init();
    const LADSPA_Descriptor* d = ladspa_descriptor(0);
    ASSERT_NE(d, nullptr);
    qm_init();
    EXPECT_EQ(ladspa_descriptor(0), d);
    EXPECT_EQ(ladspa_descriptor(1), nullptr);
    EXPECT_EQ(d->UniqueID, 1601u);
    qm_fini();
    EXPECT_EQ(ladspa_descriptor(0), nullptr);
}

TEST(ProcessorMemory, SizedToThePowerOfTwoHoldingTheRequestedTime) {
    struct Case {
        const char* env;
        unsigned long rate;
        uint32_t size;
    };
    const Case cases[] = {
        {"10", 48000, 524288},
        {"1", 32768, 32768},  // already a power of two: not doubled
        {"4", 1000, 4096},
        {"40.000000", 44100, 2097152},
        // Unset, empty, not a number, not positive or not finite: 40 s.
        {nullptr, 1000, 65536},
        {"", 1000, 65536},
        {"abc", 1000, 65536},
        {"0", 1000, 65536},
        {"-5", 1000, 65536},
        {"nan", 1000, 65536},
        {"inf", 1000, 65536},
        // More than 32-bit positions can address: 40 s as well.
        {"100000000", 48000, 2097152},
        {"1e30", 48000, 2097152},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.env ? c.env : "(unset)");
        ProcessorHost h(c.rate, c.env);
        ASSERT_NE(h.inst(), nullptr);
        EXPECT_EQ(h.inst()->lBufferSize, c.size);
        EXPECT_EQ(h.inst()->lBufferSizeMask, c.size - 1);
        EXPECT_FLOAT_EQ(h.inst()->fTotalSecs, float(c.size) / float(c.rate));
        EXPECT_FLOAT_EQ(h.ctl[QM_SECS_TOTAL_OUT], h.inst()->fTotalSecs);
        EXPECT_NE(h.inst()->pSampleBuf, nullptr);
        // What the looper checks the machine for is what the instance gets.
        const float secs = c.env && *c.env ? std::strtof(c.env, nullptr) : -1.0f;
        EXPECT_EQ(qm_memory_samples(c.rate, secs), c.size);
    }
    ProcessorHost ten(48000, "10");
    EXPECT_NEAR(ten.ctl[QM_SECS_TOTAL_OUT], 10.9227f, 1e-4f);
}

TEST(ProcessorMemory, RefusesRatesWithNoUsableMemory) {
    ProcessorHost zero(0, "4");
    EXPECT_EQ(zero.handle, nullptr);
    // 40 s at this rate do not fit 32-bit positions either.
    ProcessorHost huge(4000000000ul, nullptr);
    EXPECT_EQ(huge.handle, nullptr);
    EXPECT_EQ(qm_memory_samples(0, 4.0f), 0u);
    EXPECT_EQ(qm_memory_samples(4000000000ul, 40.0f), 0u);
}

TEST(ProcessorActivation, StartsPlayingWithAnEmptyHistory) {
    ProcessorHost h(kRate, kSecs);
    QuillomatI* q = h.inst();
    EXPECT_EQ(q->state, STATE_PLAY);
    EXPECT_EQ(q->headLoopChunk, nullptr);
    EXPECT_EQ(q->nextState, -1);
    EXPECT_EQ(q->lLastMultiCtrl, -1);
    EXPECT_EQ(q->fCurrRate, 1.0f);
    EXPECT_EQ(q->fNextCurrRate, 0.0f);
    EXPECT_EQ(q->bPreTap, 1);
    EXPECT_EQ(q->fFeedFadeAtten, 1.0f);
    EXPECT_EQ(q->fPlayFadeAtten, 0.0f);
    EXPECT_EQ(q->lLoopChunkCount, 512u);
    EXPECT_EQ(q->lastLoopChunk, &q->pLoopChunks[511]);

    // Re-activation empties the history but keeps the memory.
    h.plantLoop(100);
    const float kept = q->pSampleBuf[10];
    h.desc->activate(h.handle);
    EXPECT_EQ(q->headLoopChunk, nullptr);
    EXPECT_EQ(q->pSampleBuf[10], kept);

    // Port 32 and above bind nothing.
    std::vector<unsigned char> before(sizeof(QuillomatI));
    std::memcpy(before.data(), q, sizeof(QuillomatI));
    float cell = 0.0f;
    h.desc->connect_port(h.handle, 32, &cell);
    h.desc->connect_port(h.handle, 1000, &cell);
    EXPECT_EQ(std::memcmp(before.data(), q, sizeof(QuillomatI)), 0);
}

TEST(ProcessorActivation, UnboundModePortsReadTheInternalDefaults) {
    ProcessorHost h(kRate, kSecs);
    h.desc->connect_port(h.handle, QM_QUANT_MODE, nullptr);
    h.desc->connect_port(h.handle, QM_ROUND, nullptr);
    h.desc->connect_port(h.handle, QM_REDO_TAP, nullptr);
    h.desc->activate(h.handle);
    QuillomatI* q = h.inst();
    EXPECT_EQ(*q->pfQuantMode, 0.0f);
    EXPECT_EQ(*q->pfRoundMode, 0.0f);
    EXPECT_EQ(*q->pfRedoTapMode, 1.0f);
    // Redo-tap is on, so REDO is a tap that starts a delay.
    h.plantLoop(100);
    h.command(QM_CMD_REDO);
    EXPECT_EQ(q->state, STATE_DELAY);
    // QUANT_TOG still works on the internal cell.
    h.command(QM_CMD_QUANT_TOG);
    EXPECT_EQ(q->fQuantizeMode, 1.0f);
}

TEST(ProcessorRun, PassesInputThroughWithNoLoopAndSkipsUnboundAudio) {
    ProcessorHost h(kRate, kSecs);
    std::vector<float> out = h.play(300, ramp);
    for (unsigned long i = 0; i < 300; ++i) ASSERT_FLOAT_EQ(out[i], ramp(i)) << i;

    std::fill(h.output.begin(), h.output.end(), 7.0f);
    h.desc->connect_port(h.handle, QM_INPUT, nullptr);
    h.ctl[QM_MULTICTRL] = QM_CMD_RECORD;
    h.run(64);
    EXPECT_EQ(h.output[0], 7.0f);
    EXPECT_EQ(h.inst()->state, STATE_PLAY);  // not even the command is taken
    runQuillomat(nullptr, 64);
}

TEST(ProcessorBlock, SyncGridAndRampsForTheBlock) {
    ProcessorHost h(48000, "1");
    QuillomatI* q = h.inst();
    QmBlock b;
    ASSERT_TRUE(beginBlock(q, &b, 64));
    EXPECT_EQ(b.eighthSamples, 1u);  // tempo 0: no grid
    EXPECT_EQ(b.syncSamples, 0u);
    EXPECT_EQ(b.xfadeSamples, 1u);

    h.ctl[QM_TEMPO] = 120.0f;
    struct {
        float quant;
        unsigned sync;
    } grid[] = {{0, 0}, {1, 96000}, {2, 6000}, {3, 96000}};
    for (auto g : grid) {
        h.ctl[QM_QUANT_MODE] = g.quant;
        ASSERT_TRUE(beginBlock(q, &b, 64));
        EXPECT_EQ(b.eighthSamples, 12000u);
        EXPECT_EQ(b.syncSamples, g.sync) << g.quant;
    }
    // However fast the tempo, an eighth is never 0 samples.
    ProcessorHost slow(1, nullptr);
    slow.ctl[QM_TEMPO] = 1000.0f;
    slow.ctl[QM_QUANT_MODE] = 2.0f;
    ASSERT_TRUE(beginBlock(slow.inst(), &b, 8));
    EXPECT_EQ(b.eighthSamples, 1u);

    // Ramps land on their targets on the last sample and never overshoot;
    // feedback is clamped and written back.
    h.ctl[QM_WET] = 0.25f;
    h.ctl[QM_FEEDBACK] = 3.0f;
    h.ctl[QM_DRY] = std::numeric_limits<float>::quiet_NaN();
    h.ctl[QM_FADE_SAMPLES] = 0.0f;
    q->fFeedbackCurr = 0.5f;
    ASSERT_TRUE(beginBlock(q, &b, 7));
    EXPECT_EQ(b.xfadeSamples, 1u);
    EXPECT_EQ(b.feedback.target, 1.0f);
    EXPECT_EQ(h.ctl[QM_FEEDBACK], 1.0f);
    EXPECT_EQ(b.dry.target, 0.0f);
    for (uint32_t i = 0; i < 7; ++i) EXPECT_GE(b.wet.at(i), 0.25f);
    EXPECT_EQ(b.wet.at(6), 0.25f);
    // The scratch ramp only runs with its port bound.
    h.desc->connect_port(h.handle, QM_SCRATCH_POS, nullptr);
    ASSERT_TRUE(beginBlock(q, &b, 7));
    EXPECT_EQ(b.scratch.start, 0.0f);
    EXPECT_TRUE(b.scratch.flat());
}

TEST(ProcessorCommands, OneCommandPerChangeOfTheCommandPort) {
    ProcessorHost h(kRate, kSecs);
    QuillomatI* q = h.inst();
    h.plantLoop(100);

    h.ctl[QM_MULTICTRL] = QM_CMD_MUTE;
    h.run(0);
    EXPECT_EQ(q->state, STATE_MUTE);
    h.run(0);  // still 9: not a new command
    EXPECT_EQ(q->state, STATE_MUTE);
    h.ctl[QM_MULTICTRL] = -1.0f;
    h.run(0);
    h.ctl[QM_MULTICTRL] = QM_CMD_MUTE;
    h.run(0);
    EXPECT_EQ(q->state, STATE_PLAY);
    h.ctl[QM_MULTICTRL] = -1.0f;
    h.run(0);

    // Values outside the commands, and REDO_TOG, do nothing; NaN is no command.
    LoopChunk* head = q->headLoopChunk;
    for (float v : {11.0f, 19.0f, 127.0f, 128.0f, -2.0f, 1e12f,
                    std::numeric_limits<float>::quiet_NaN()}) {
        h.ctl[QM_MULTICTRL] = v;
        h.run(0);
        h.ctl[QM_MULTICTRL] = -1.0f;
        h.run(0);
        EXPECT_EQ(q->state, STATE_PLAY) << v;
        EXPECT_EQ(q->headLoopChunk, head) << v;
    }
    // Fractions truncate: 5.9 is RECORD.
    h.ctl[QM_MULTICTRL] = 5.9f;
    h.run(0);
    EXPECT_EQ(q->state, STATE_REC_WAIT);
}

TEST(ProcessorCommands, TapsAreSpacedChangesOfTheTapPort) {
    ProcessorHost h(kRate, kSecs);
    QuillomatI* q = h.inst();
    h.plantLoop(100);

    q->lTapTrigSamples = 5000;
    h.ctl[QM_TAP_TRIG] = 1.0f;
    h.run(0);
    EXPECT_EQ(q->bPreTap, 0);  // the first change only arms the tap
    EXPECT_EQ(q->state, STATE_PLAY);

    q->lTapTrigSamples = 2000;
    h.ctl[QM_TAP_TRIG] = 0.0f;
    h.run(0);
    EXPECT_EQ(q->state, STATE_PLAY);  // too soon: absorbed
    EXPECT_EQ(q->fLastTapCtrl, 0.0f);

    q->lTapTrigSamples = 2205;
    h.ctl[QM_TAP_TRIG] = 1.0f;
    h.run(0);
    EXPECT_EQ(q->state, STATE_DELAY);
    EXPECT_EQ(q->headLoopChunk->lLoopLength, 0u);

    // The second tap sets the delay length; a command in the same block is lost.
    q->lTapTrigSamples = 2500;
    h.ctl[QM_TAP_TRIG] = 0.0f;
    h.ctl[QM_MULTICTRL] = QM_CMD_MUTE;
    h.run(0);
    EXPECT_EQ(q->state, STATE_DELAY);
    EXPECT_EQ(q->headLoopChunk->lLoopLength, 2500u);
    EXPECT_EQ(q->headLoopChunk->lCycleLength, 2500u);
    EXPECT_EQ(q->lTapTrigSamples, 0u);
    EXPECT_EQ(q->headLoopChunk->backfill, 1);
    EXPECT_EQ(q->headLoopChunk->lMarkEndL, 0u);
    EXPECT_EQ(q->headLoopChunk->lMarkEndH, 2499u);
}

TEST(ProcessorCommands, RedoIsATapOnlyInRedoTapMode) {
    ProcessorHost h(kRate, kSecs);
    QuillomatI* q = h.inst();
    LoopChunk* a = h.plantLoop(100);
    h.command(QM_CMD_OVERDUB);
    LoopChunk* b = q->headLoopChunk;
    h.command(QM_CMD_UNDO);
    EXPECT_EQ(q->headLoopChunk, a);
    h.command(QM_CMD_REDO);
    EXPECT_EQ(q->headLoopChunk, b);
    EXPECT_EQ(q->state, STATE_PLAY);

    h.ctl[QM_REDO_TAP] = 1.0f;
    h.command(QM_CMD_REDO);
    EXPECT_EQ(q->state, STATE_DELAY);
    EXPECT_EQ(q->headLoopChunk->prev, b);
    EXPECT_EQ(q->headLoopChunk->srcloop, nullptr);
}

TEST(ProcessorCommands, OverdubMarksWhatCopyOnPlayStillOwes) {
    // Room for seven versions side by side: none of them is ever played, so
    // each still copies from all before it and must not cover any of them.
    ProcessorHost h(kRate, "8");
    QuillomatI* q = h.inst();
    LoopChunk* a = h.plantLoop(1000);

    a->dCurrPos = 300.0;
    h.command(QM_CMD_OVERDUB);
    LoopChunk* c = q->headLoopChunk;
    ASSERT_NE(c, a);
    EXPECT_EQ(q->state, STATE_OVERDUB);
    EXPECT_EQ(c->srcloop, a);
    EXPECT_EQ(c->prev, a);
    EXPECT_EQ(a->next, c);
    EXPECT_EQ(c->lLoopStart, 1000u);
    EXPECT_EQ(c->lLoopLength, 1000u);
    EXPECT_EQ(c->dCurrPos, 300.0);
    EXPECT_EQ(c->frontfill, 1);
    EXPECT_EQ(c->lMarkL, 0u);
    EXPECT_EQ(c->lMarkH, 299u);
    EXPECT_EQ(c->backfill, 1);
    EXPECT_EQ(c->lMarkEndL, 300u);
    EXPECT_EQ(c->lMarkEndH, 999u);
    EXPECT_GT(q->fLoopFadeDelta, 0.0f);
    h.command(QM_CMD_OVERDUB);
    EXPECT_EQ(q->state, STATE_PLAY);

    // At position 0 going forward nothing has been passed yet.
    c->dCurrPos = 0.0;
    h.command(QM_CMD_OVERDUB);
    LoopChunk* d = q->headLoopChunk;
    EXPECT_EQ(d->frontfill, 0);
    EXPECT_EQ(d->lMarkEndL, 0u);
    EXPECT_EQ(d->lMarkEndH, 999u);
    h.command(QM_CMD_OVERDUB);

    // Backwards at p: passed is above p, ahead is p down to 0.
    q->fCurrRate = -1.0f;
    d->dCurrPos = 300.0;
    h.command(QM_CMD_OVERDUB);
    LoopChunk* e = q->headLoopChunk;
    EXPECT_EQ(q->fCurrRate, -1.0f);
    EXPECT_EQ(e->frontfill, 1);
    EXPECT_EQ(e->lMarkL, 301u);
    EXPECT_EQ(e->lMarkH, 999u);
    EXPECT_EQ(e->backfill, 1);
    EXPECT_EQ(e->lMarkEndL, 0u);
    EXPECT_EQ(e->lMarkEndH, 300u);
    h.command(QM_CMD_OVERDUB);

    // Backwards at 0 the next positions are 999, 998, ...: they must be owed.
    e->dCurrPos = 0.0;
    h.command(QM_CMD_OVERDUB);
    LoopChunk* f = q->headLoopChunk;
    EXPECT_EQ(f->frontfill, 1);
    EXPECT_EQ(f->lMarkL, 1u);
    EXPECT_EQ(f->lMarkH, 999u);
    EXPECT_EQ(f->backfill, 1);
    EXPECT_EQ(f->lMarkEndL, 0u);
    EXPECT_EQ(f->lMarkEndH, 0u);

    // A loop standing at its end (a recording just stopped) starts over at 0.
    h.command(QM_CMD_OVERDUB);
    q->fCurrRate = 1.0f;
    f->dCurrPos = 1000.0;
    h.command(QM_CMD_OVERDUB);
    LoopChunk* g = q->headLoopChunk;
    EXPECT_EQ(g->dCurrPos, 0.0);
    EXPECT_EQ(g->frontfill, 0);
    EXPECT_EQ(g->lMarkEndL, 0u);
    EXPECT_EQ(g->lMarkEndH, 999u);
}

TEST(ProcessorCommands, MultiplyAndInsertShapeTheNewChunk) {
    ProcessorHost h(kRate, kSecs);
    QuillomatI* q = h.inst();
    // Three cycles of 300; multiply begun at 2.5 cycles.
    LoopChunk* a = h.plantLoop(900, nullptr, 3);
    a->dCurrPos = 750.0;
    h.command(QM_CMD_MULTIPLY);
    LoopChunk* m = q->headLoopChunk;
    ASSERT_NE(m, a);
    EXPECT_EQ(q->state, STATE_MULTIPLY);
    EXPECT_EQ(m->srcloop, a);
    EXPECT_EQ(m->lStartAdj, 600u);
    EXPECT_EQ(m->dCurrPos, 150.0);
    EXPECT_EQ(m->lLoopLength, 300u);
    EXPECT_EQ(m->lCycleLength, 300u);
    EXPECT_EQ(m->lCycles, 1u);
    EXPECT_EQ(m->firsttime, 1);
    EXPECT_EQ(m->backfill, 0);
    EXPECT_EQ(q->fCurrRate, 1.0f);
    EXPECT_EQ(q->nextState, -1);

    // MULTIPLY again ends it, cut to whole cycles with the rest owed.
    m->dCurrPos = 200.0;
    h.command(QM_CMD_MULTIPLY);
    EXPECT_EQ(q->state, STATE_PLAY);
    EXPECT_EQ(m->mult_out, 1);
    EXPECT_EQ(m->lLoopLength, 300u);
    EXPECT_EQ(m->backfill, 1);
    EXPECT_EQ(m->lMarkEndL, 200u);
    EXPECT_EQ(m->lMarkEndH, 299u);
    EXPECT_LT(q->fLoopFadeDelta, 0.0f);

    // With round mode the multiply runs on to the cycle's end.
    h.ctl[QM_ROUND] = 1.0f;
    LoopChunk* b = h.plantLoop(400);
    b->dCurrPos = 100.0;
    h.command(QM_CMD_MULTIPLY);
    LoopChunk* m2 = q->headLoopChunk;
    m2->dCurrPos = 250.0;
    h.command(QM_CMD_MULTIPLY);
    EXPECT_EQ(q->state, STATE_MULTIPLY);
    EXPECT_TRUE(q->rounding);
    EXPECT_EQ(q->nextState, STATE_PLAY);
    EXPECT_EQ(m2->lMarkEndL, 250u);
    EXPECT_EQ(m2->lMarkEndH, 399u);
    h.ctl[QM_ROUND] = 0.0f;
    h.command(QM_CMD_UNDO);  // drops the unfinished multiply
    EXPECT_EQ(q->headLoopChunk, b);
    EXPECT_FALSE(q->rounding);
    EXPECT_EQ(q->nextState, -1);

    // Insert at 300 of a two-cycle loop of 1000, quantize and round off.
    LoopChunk* s = h.plantLoop(1000, nullptr, 2);
    s->dCurrPos = 300.0;
    h.command(QM_CMD_INSERT);
    LoopChunk* in = q->headLoopChunk;
    EXPECT_EQ(q->state, STATE_INSERT);
    EXPECT_EQ(in->srcloop, s);
    EXPECT_EQ(in->lInsPos, 300u);
    EXPECT_EQ(in->lRemLen, 700u);
    EXPECT_EQ(in->lLoopLength, 1500u);
    EXPECT_EQ(in->lCycles, 3u);
    EXPECT_EQ(in->lCycleLength, 500u);
    EXPECT_EQ(in->lMarkL, 0u);
    EXPECT_EQ(in->lMarkH, 299u);
    EXPECT_LT(q->fPlayFadeDelta, 0.0f);

    // INSERT again ends it at its end point.
    in->dCurrPos = 650.0;
    h.command(QM_CMD_INSERT);
    EXPECT_TRUE(q->rounding);
    EXPECT_EQ(q->nextState, STATE_PLAY);
    EXPECT_EQ(in->lEndAdj, 500u);
    EXPECT_EQ(in->lMarkEndL, 650u);
    EXPECT_EQ(in->lMarkEndH, 800u);
}

TEST(ProcessorCommands, RecordEndsMultiplyAndInsertAtOnce) {
    ProcessorHost h(kRate, kSecs);
    QuillomatI* q = h.inst();
    // A multiply begun in the third cycle: its own position counts from 0.
    LoopChunk* a = h.plantLoop(900, nullptr, 3);
    a->dCurrPos = 750.0;
    h.command(QM_CMD_MULTIPLY);
    LoopChunk* m = q->headLoopChunk;
    m->dCurrPos = 270.0;
    h.command(QM_CMD_RECORD);
    EXPECT_EQ(q->state, STATE_PLAY);
    EXPECT_EQ(q->headLoopChunk, m);
    EXPECT_EQ(m->lLoopLength, 270u);  // not 270 - 600 as an unsigned count
    EXPECT_EQ(m->lCycleLength, 270u);
    EXPECT_EQ(m->lCycles, 1u);
    EXPECT_EQ(m->backfill, 0);
    EXPECT_LE(m->lMarkH, 269u);
    EXPECT_LT(q->fLoopFadeDelta, 0.0f);
    EXPECT_GT(q->fPlayFadeDelta, 0.0f);

    // Ended before anything was multiplied: the loop stays as it was.
    h.command(QM_CMD_UNDO);
    ASSERT_EQ(q->headLoopChunk, a);
    a->dCurrPos = 600.0;
    h.command(QM_CMD_MULTIPLY);
    ASSERT_NE(q->headLoopChunk, a);
    h.command(QM_CMD_RECORD);
    EXPECT_EQ(q->headLoopChunk, a);
    EXPECT_EQ(a->lLoopLength, 900u);
    EXPECT_EQ(q->state, STATE_PLAY);

    // Insert ended by RECORD: the rest of the source follows what was inserted.
    LoopChunk* s = h.plantLoop(100);
    s->dCurrPos = 30.0;
    h.command(QM_CMD_INSERT);
    LoopChunk* in = q->headLoopChunk;
    in->dCurrPos = 80.0;  // 50 samples inserted
    h.command(QM_CMD_RECORD);
    EXPECT_EQ(q->state, STATE_PLAY);
    EXPECT_EQ(in->lLoopLength, 150u);
    EXPECT_EQ(in->lCycleLength, 150u);
    EXPECT_EQ(in->lCycles, 1u);
    EXPECT_EQ(in->lEndAdj, 50u);
    EXPECT_EQ(in->backfill, 1);
    EXPECT_EQ(in->lMarkEndL, 80u);
    EXPECT_EQ(in->lMarkEndH, 149u);
    // Position 80 of the new loop is position 30 of the source.
    fillLoops(q, in, 80);
    EXPECT_EQ(*qmCell(q, in, 80), *qmCell(q, s, 30));
}

TEST(ProcessorCommands, DeferredUnderQuantizeAndSync) {
    ProcessorHost h(kRate, kSecs);
    QuillomatI* q = h.inst();
    LoopChunk* a = h.plantLoop(1000);

    // Quantize alone: replace, multiply, insert, substitute wait; overdub,
    // one-shot, mute and reverse do not wait for it.
    h.ctl[QM_QUANT_MODE] = 1.0f;
    for (int cmd : {QM_CMD_REPLACE, QM_CMD_MULTIPLY, QM_CMD_INSERT, QM_CMD_SUBSTITUTE}) {
        h.command(cmd);
        EXPECT_EQ(q->state, STATE_PLAY) << cmd;
        EXPECT_EQ(q->headLoopChunk, a) << cmd;
        EXPECT_EQ(q->waitingForSync, 1) << cmd;
        EXPECT_EQ(h.ctl[QM_WAITING], 1.0f) << cmd;
        h.command(QM_CMD_UNDO);  // cancels the wait without undoing
        EXPECT_EQ(q->waitingForSync, 0);
        EXPECT_EQ(q->nextState, -1);
        EXPECT_EQ(q->headLoopChunk, a);
    }
    h.command(QM_CMD_REPLACE);
    EXPECT_EQ(q->nextState, STATE_REPLACE);
    EXPECT_EQ(h.ctl[QM_NEXT_STATE_OUT], float(STATE_REPLACE));
    h.command(QM_CMD_UNDO);
    h.command(QM_CMD_OVERDUB);
    EXPECT_EQ(q->state, STATE_OVERDUB);
    EXPECT_EQ(q->waitingForSync, 0);
    h.command(QM_CMD_OVERDUB);
    h.command(QM_CMD_ONESHOT);
    EXPECT_EQ(q->state, STATE_ONESHOT);
    h.command(QM_CMD_MUTE);
    EXPECT_EQ(q->state, STATE_PLAY);

    // A second UNDO then undoes.
    LoopChunk* b = q->headLoopChunk;
    ASSERT_NE(b, a);
    h.command(QM_CMD_MULTIPLY);
    h.command(QM_CMD_UNDO);
    EXPECT_EQ(q->headLoopChunk, b);
    h.command(QM_CMD_UNDO);
    EXPECT_EQ(q->headLoopChunk, a);

    // Sync: one-shot and trigger wait too; a recording runs on to the sync point.
    h.ctl[QM_QUANT_MODE] = 0.0f;
    h.ctl[QM_SYNC_MODE] = 1.0f;
    h.command(QM_CMD_ONESHOT);
    EXPECT_EQ(q->nextState, STATE_ONESHOT);
    h.command(QM_CMD_UNDO);
    h.command(QM_CMD_TRIGGER);
    EXPECT_EQ(q->nextState, STATE_TRIGGER_PLAY);
    EXPECT_EQ(q->waitingForSync, 1);
    h.command(QM_CMD_UNDO);
    h.command(QM_CMD_RECORD);
    EXPECT_EQ(q->state, STATE_REC_WAIT);  // the wait is that state itself
    EXPECT_EQ(q->waitingForSync, 0);

    ProcessorHost r(kRate, kSecs);
    r.plantLoop(500);
    setRecording(r, 500);
    r.ctl[QM_QUANT_MODE] = 1.0f;
    r.command(QM_CMD_MULTIPLY);
    EXPECT_EQ(r.inst()->state, STATE_REC_ENDING);
    EXPECT_EQ(r.inst()->nextState, STATE_MULTIPLY);
    EXPECT_EQ(r.inst()->waitingForSync, 1);
}

TEST(ProcessorCommands, DeferredCommandEntersAtTheSyncPoint) {
    ProcessorHost h(kRate, kSecs);
    QuillomatI* q = h.inst();
    LoopChunk* a = h.plantLoop(1000);
    h.ctl[QM_SYNC_MODE] = 1.0f;
    h.command(QM_CMD_REPLACE);
    ASSERT_EQ(q->nextState, STATE_REPLACE);
    h.play(100);
    EXPECT_EQ(q->state, STATE_PLAY);
    EXPECT_EQ(q->waitingForSync, 1);
    h.syncIn[10] = 1.0f;
    h.run(50);
    h.syncIn[10] = 0.0f;
    EXPECT_EQ(q->state, STATE_REPLACE);
    EXPECT_NE(q->headLoopChunk, a);
    EXPECT_EQ(q->waitingForSync, 0);
    EXPECT_EQ(q->nextState, -1);
    EXPECT_EQ(h.ctl[QM_WAITING], 0.0f);
    EXPECT_EQ(h.ctl[QM_NEXT_STATE_OUT], -1.0f);
}

TEST(ProcessorCommands, UndoRedoAndTheirAllForms) {
    ProcessorHost h(kRate, kSecs);
    QuillomatI* q = h.inst();
    LoopChunk* a = h.plantLoop(1000);
    h.command(QM_CMD_OVERDUB);
    h.command(QM_CMD_OVERDUB);
    LoopChunk* b = q->headLoopChunk;
    h.command(QM_CMD_OVERDUB);
    h.command(QM_CMD_OVERDUB);
    LoopChunk* c = q->headLoopChunk;
    ASSERT_TRUE(a != b && b != c);

    h.command(QM_CMD_UNDO);
    EXPECT_EQ(q->headLoopChunk, b);
    h.command(QM_CMD_UNDO);
    EXPECT_EQ(q->headLoopChunk, a);
    h.command(QM_CMD_UNDO);
    EXPECT_EQ(q->headLoopChunk, nullptr);
    EXPECT_EQ(q->tailLoopChunk, a);
    h.command(QM_CMD_UNDO);  // nothing left: no harm
    EXPECT_EQ(q->headLoopChunk, nullptr);
    h.command(QM_CMD_REDO);
    EXPECT_EQ(q->headLoopChunk, a);
    EXPECT_EQ(a->dCurrPos, 0.0);
    h.command(QM_CMD_REDO_ALL);
    EXPECT_EQ(q->headLoopChunk, c);
    EXPECT_EQ(q->state, STATE_PLAY);
    h.command(QM_CMD_REDO);  // nothing to redo
    EXPECT_EQ(q->headLoopChunk, c);

    h.command(QM_CMD_UNDO_ALL);
    EXPECT_EQ(q->state, STATE_PLAY);
    EXPECT_EQ(q->headLoopChunk, nullptr);
    EXPECT_LT(q->fPlayFadeDelta, 0.0f);
    h.run(0);
    EXPECT_EQ(h.ctl[QM_STATE_OUT], float(STATE_OFF));
    h.command(QM_CMD_REDO_ALL);
    EXPECT_EQ(q->headLoopChunk, c);
    EXPECT_EQ(q->state, STATE_PLAY);
    EXPECT_GT(q->fPlayFadeDelta, 0.0f);

    // Muted, undo and redo come back muted.
    h.command(QM_CMD_MUTE);
    EXPECT_EQ(q->state, STATE_MUTE);
    EXPECT_TRUE(q->wasMuted);
    EXPECT_LT(q->fPlayFadeDelta, 0.0f);
    h.command(QM_CMD_UNDO);
    EXPECT_EQ(q->state, STATE_MUTE);
    EXPECT_EQ(q->headLoopChunk, b);
    h.command(QM_CMD_REDO);
    EXPECT_EQ(q->state, STATE_MUTE);
    h.command(QM_CMD_MUTE);
    EXPECT_EQ(q->state, STATE_PLAY);
    EXPECT_FALSE(q->wasMuted);
    EXPECT_GT(q->fPlayFadeDelta, 0.0f);
}

TEST(ProcessorCommands, ReverseNowOrAtTheNextSyncPoint) {
    ProcessorHost h(kRate, kSecs);
    QuillomatI* q = h.inst();
    LoopChunk* a = h.plantLoop(1000);
    h.command(QM_CMD_REVERSE);
    EXPECT_EQ(q->fCurrRate, -1.0f);
    h.command(QM_CMD_REVERSE);
    EXPECT_EQ(q->fCurrRate, 1.0f);

    h.ctl[QM_QUANT_MODE] = 2.0f;
    h.command(QM_CMD_REVERSE);
    EXPECT_EQ(q->fCurrRate, 1.0f);
    EXPECT_EQ(q->fNextCurrRate, -1.0f);
    EXPECT_EQ(h.ctl[QM_WAITING], 1.0f);
    h.command(QM_CMD_UNDO);  // cancels the reverse, undoes nothing
    EXPECT_EQ(q->fNextCurrRate, 0.0f);
    EXPECT_EQ(q->headLoopChunk, a);

    // Toggles write the bound cells.
    h.command(QM_CMD_QUANT_TOG);
    EXPECT_EQ(h.ctl[QM_QUANT_MODE], 0.0f);
    h.command(QM_CMD_QUANT_TOG);
    EXPECT_EQ(h.ctl[QM_QUANT_MODE], 1.0f);
    h.command(QM_CMD_ROUND_TOG);
    EXPECT_EQ(h.ctl[QM_ROUND], 1.0f);
}

TEST(ProcessorCommands, StatesEnteredByACommandGetTheirFades) {
    // Reverse while recording ends the recording into play.
    ProcessorHost h(kRate, kSecs);
    QuillomatI* q = h.inst();
    h.plantLoop(500);
    setRecording(h, 500);
    h.command(QM_CMD_REVERSE);
    EXPECT_EQ(q->state, STATE_PLAY);
    EXPECT_EQ(q->fCurrRate, -1.0f);
    EXPECT_LT(q->fLoopFadeDelta, 0.0f);
    EXPECT_GT(q->fPlayFadeDelta, 0.0f);
    EXPECT_GT(q->fFeedFadeDelta, 0.0f);

    // Scratch while recording plays it once backwards from its end.
    ProcessorHost s(kRate, kSecs);
    s.plantLoop(500);
    setRecording(s, 500);
    s.command(QM_CMD_SCRATCH);
    EXPECT_EQ(s.inst()->state, STATE_ONESHOT);
    EXPECT_EQ(s.inst()->headLoopChunk->dCurrPos, 499.0);
    EXPECT_LT(s.inst()->fLoopFadeDelta, 0.0f);
    EXPECT_GT(s.inst()->fPlayFadeDelta, 0.0f);

    // Scratch and insert while muted make the loop heard again.
    ProcessorHost m(kRate, kSecs);
    LoopChunk* a = m.plantLoop(500);
    m.command(QM_CMD_MUTE);
    a->dCurrPos = 123.0;
    m.command(QM_CMD_SCRATCH);
    EXPECT_EQ(m.inst()->state, STATE_PLAY);
    EXPECT_EQ(a->dCurrPos, 0.0);
    EXPECT_GT(m.inst()->fPlayFadeDelta, 0.0f);
    m.command(QM_CMD_MUTE);
    a->dCurrPos = 123.0;
    m.command(QM_CMD_INSERT);
    EXPECT_EQ(m.inst()->state, STATE_ONESHOT);
    EXPECT_EQ(a->dCurrPos, 0.0);
    EXPECT_GT(m.inst()->fPlayFadeDelta, 0.0f);
    EXPECT_GT(m.inst()->fFeedFadeDelta, 0.0f);

    // Scratch only from a loop that copies nothing any more.
    m.command(QM_CMD_MUTE);
    EXPECT_EQ(m.inst()->state, STATE_PLAY);
    m.command(QM_CMD_SCRATCH);
    EXPECT_EQ(m.inst()->state, STATE_SCRATCH);
    m.command(QM_CMD_SCRATCH);
    EXPECT_EQ(m.inst()->state, STATE_PLAY);
    m.command(QM_CMD_OVERDUB);
    m.command(QM_CMD_OVERDUB);
    m.command(QM_CMD_SCRATCH);
    EXPECT_EQ(m.inst()->state, STATE_PLAY);
    m.play(500);  // one pass: the copy is done
    m.command(QM_CMD_SCRATCH);
    EXPECT_EQ(m.inst()->state, STATE_SCRATCH);
}

TEST(ProcessorCommands, ReversedRecordingPlaysAndStopsTakingInput) {
    ProcessorHost h(kRate, kSecs);
    QuillomatI* q = h.inst();
    h.plantLoop(200);
    setRecording(h, 200);
    const std::vector<float> before = h.loopAudio();
    h.command(QM_CMD_REVERSE);
    std::vector<float> out = h.play(400, half);
    EXPECT_EQ(h.loopAudio(), before);  // the input is not summed in
    EXPECT_EQ(q->state, STATE_PLAY);
    // Past the one-sample fade the loop is heard over the dry input.
    for (int i = 2; i < 400; ++i) ASSERT_GT(out[i], 0.5f + 0.5f) << i;
}

TEST(ProcessorCommands, UndoAllEndsOnlyTheStatesThatNeedALoop) {
    for (int state : {STATE_RECORD, STATE_REC_ENDING, STATE_OVERDUB, STATE_MULTIPLY}) {
        SCOPED_TRACE(state);
        ProcessorHost h(kRate, kSecs);
        QuillomatI* q = h.inst();
        h.plantLoop(300);
        setRecording(h, 300);
        q->state = state;
        q->nextState = STATE_OVERDUB;
        q->waitingForSync = 1;
        h.command(QM_CMD_UNDO_ALL);
        EXPECT_EQ(q->state, STATE_PLAY);
        EXPECT_EQ(q->headLoopChunk, nullptr);
        EXPECT_EQ(q->nextState, -1);
        EXPECT_EQ(q->waitingForSync, 0);
        h.play(256, half);
        EXPECT_EQ(q->state, STATE_PLAY);
        EXPECT_EQ(h.ctl[QM_STATE_OUT], float(STATE_OFF));
    }
    // Muted, armed or in the delay, the state stays.
    ProcessorHost m(kRate, kSecs);
    m.plantLoop(300);
    m.command(QM_CMD_MUTE);
    m.command(QM_CMD_UNDO_ALL);
    EXPECT_EQ(m.inst()->state, STATE_MUTE);
    m.command(QM_CMD_RECORD);
    m.command(QM_CMD_UNDO_ALL);
    EXPECT_EQ(m.inst()->state, STATE_REC_WAIT);
    ProcessorHost d(kRate, kSecs);
    d.plantLoop(300);
    d.command(QM_CMD_DELAY);
    d.command(QM_CMD_UNDO_ALL);
    d.play(4, half);
    EXPECT_EQ(d.inst()->state, STATE_DELAY);

    // So does a reverse waiting for a sync point, taken once the loop is back.
    ProcessorHost r(kRate, kSecs);
    r.plantLoop(300);
    r.ctl[QM_QUANT_MODE] = 1.0f;
    r.command(QM_CMD_REVERSE);
    r.command(QM_CMD_UNDO_ALL);
    EXPECT_EQ(r.inst()->fNextCurrRate, -1.0f);
    EXPECT_EQ(r.ctl[QM_WAITING], 1.0f);
    r.command(QM_CMD_REDO_ALL);
    r.ctl[QM_TEMPO] = 120.0f;
    r.syncIn[0] = 1.0f;
    r.run(4);
    EXPECT_EQ(r.inst()->fCurrRate, -1.0f);
    EXPECT_EQ(r.inst()->fNextCurrRate, 0.0f);
}

TEST(ProcessorCommands, LeavingTheDelayNeverWritesIntoTheLoopUnderIt) {
    ProcessorHost h(kRate, kSecs);
    QuillomatI* q = h.inst();
    LoopChunk* a = h.plantLoop(1000);
    const std::vector<float> original = h.loopAudio();
    h.command(QM_CMD_DELAY);
    ASSERT_EQ(q->state, STATE_DELAY);
    LoopChunk* d = q->headLoopChunk;
    EXPECT_EQ(d->prev, a);
    EXPECT_EQ(d->lLoopStart, 1000u);

    // Overdub with sync: the delay goes, the loop plays until the sync point.
    h.ctl[QM_SYNC_MODE] = 1.0f;
    h.command(QM_CMD_OVERDUB);
    EXPECT_EQ(q->headLoopChunk, a);
    EXPECT_EQ(q->state, STATE_PLAY);
    EXPECT_EQ(q->nextState, STATE_OVERDUB);
    EXPECT_EQ(q->waitingForSync, 1);
    h.play(300, half);
    EXPECT_EQ(h.loopAudio(), original);
    h.syncIn[0] = 1.0f;
    h.run(10);
    h.syncIn[0] = 0.0f;
    EXPECT_EQ(q->state, STATE_OVERDUB);
    EXPECT_EQ(q->headLoopChunk->srcloop, a);
    h.command(QM_CMD_UNDO);
    EXPECT_EQ(q->headLoopChunk, a);
    EXPECT_EQ(h.loopAudio(), original);

    // Multiply with quantize from the delay: deferred on the loop, not the delay.
    h.ctl[QM_SYNC_MODE] = 0.0f;
    h.ctl[QM_QUANT_MODE] = 1.0f;
    h.command(QM_CMD_DELAY);
    h.command(QM_CMD_MULTIPLY);
    EXPECT_EQ(q->headLoopChunk, a);
    EXPECT_EQ(q->state, STATE_PLAY);
    EXPECT_EQ(q->nextState, STATE_MULTIPLY);
    h.command(QM_CMD_UNDO);

    // Unsynced overdub from the delay overdubs the loop at once.
    h.ctl[QM_QUANT_MODE] = 0.0f;
    h.command(QM_CMD_DELAY);
    h.command(QM_CMD_OVERDUB);
    EXPECT_EQ(q->state, STATE_OVERDUB);
    EXPECT_EQ(q->headLoopChunk->srcloop, a);
    h.command(QM_CMD_OVERDUB);

    // RECORD from the delay drops it and arms.
    h.command(QM_CMD_UNDO);
    h.command(QM_CMD_DELAY);
    h.command(QM_CMD_RECORD);
    EXPECT_EQ(q->state, STATE_REC_WAIT);
    EXPECT_EQ(q->headLoopChunk, a);
}

TEST(ProcessorCommands, DelayLengthClaimsItsMemory) {
    ProcessorHost h(kRate, kSecs);
    QuillomatI* q = h.inst();
    LoopChunk* a = h.plantLoop(1000);
    h.command(QM_CMD_DELAY);
    LoopChunk* d = q->headLoopChunk;
    q->lTapTrigSamples = 2500;  // [1000, 3500): clear of the loop
    h.command(QM_CMD_DELAY);
    EXPECT_EQ(d->lLoopLength, 2500u);
    EXPECT_EQ(a->valid, 1);
    h.command(QM_CMD_UNDO);
    EXPECT_EQ(q->headLoopChunk, a);

    h.command(QM_CMD_DELAY);
    d = q->headLoopChunk;
    q->lTapTrigSamples = 3500;  // wraps over the loop's start
    h.command(QM_CMD_DELAY);
    EXPECT_EQ(d->lLoopLength, 3500u);
    EXPECT_EQ(a->valid, 0);
    EXPECT_EQ(d->prev, nullptr);
    EXPECT_EQ(q->tailLoopChunk, d);
    h.command(QM_CMD_UNDO);  // the overwritten loop does not come back
    EXPECT_EQ(q->headLoopChunk, nullptr);

    // A tap longer than the memory gives no delay.
    h.command(QM_CMD_DELAY);
    q->lTapTrigSamples = 5000;
    h.command(QM_CMD_DELAY);
    EXPECT_EQ(q->headLoopChunk->lLoopLength, 0u);
    EXPECT_EQ(q->headLoopChunk->backfill, 0);
}

TEST(ProcessorCommands, PendingOutputsStayTrue) {
    ProcessorHost h(kRate, kSecs);
    QuillomatI* q = h.inst();
    LoopChunk* a = h.plantLoop(500);
    setRecording(h, 500);
    h.ctl[QM_SYNC_MODE] = 1.0f;
    h.command(QM_CMD_RECORD);  // runs on to the sync point, then plays
    EXPECT_EQ(q->state, STATE_REC_ENDING);
    EXPECT_EQ(q->nextState, STATE_PLAY);
    h.command(QM_CMD_REDO);
    EXPECT_EQ(q->state, STATE_PLAY);
    EXPECT_EQ(q->nextState, -1);
    EXPECT_EQ(h.ctl[QM_NEXT_STATE_OUT], -1.0f);
    EXPECT_EQ(h.ctl[QM_WAITING], 0.0f);

    setRecording(h, 500);
    h.command(QM_CMD_RECORD);
    h.command(QM_CMD_UNDO);
    EXPECT_EQ(q->nextState, -1);
    EXPECT_EQ(h.ctl[QM_NEXT_STATE_OUT], -1.0f);

    // Entering a pending state retires it.
    h.command(QM_CMD_REDO);
    ASSERT_EQ(q->headLoopChunk, a);
    h.command(QM_CMD_SUBSTITUTE);
    ASSERT_EQ(q->nextState, STATE_SUBSTITUTE);
    LoopChunk* c = transitionToNext(q, a, q->nextState);
    EXPECT_EQ(q->state, STATE_SUBSTITUTE);
    EXPECT_EQ(c->srcloop, a);
    EXPECT_EQ(q->nextState, -1);
    EXPECT_EQ(q->waitingForSync, 0);

    // A pending command never outlives the loop it waits on.
    h.ctl[QM_SYNC_MODE] = 0.0f;
    h.command(QM_CMD_SUBSTITUTE);
    h.ctl[QM_QUANT_MODE] = 1.0f;
    h.command(QM_CMD_MULTIPLY);
    ASSERT_EQ(q->waitingForSync, 1);
    h.command(QM_CMD_UNDO_ALL);
    EXPECT_EQ(q->waitingForSync, 0);
    EXPECT_EQ(q->nextState, -1);
    EXPECT_EQ(h.ctl[QM_WAITING], 0.0f);

    // Transitions by themselves: trigger backwards restarts at the end.
    ProcessorHost t(kRate, kSecs);
    LoopChunk* l = t.plantLoop(400);
    t.inst()->fCurrRate = -1.0f;
    l->dCurrPos = 100.0;
    t.command(QM_CMD_TRIGGER);
    EXPECT_EQ(t.inst()->state, STATE_PLAY);
    EXPECT_EQ(l->dCurrPos, 399.0);
    EXPECT_EQ(transitionToNext(t.inst(), nullptr, STATE_TRIGGER_PLAY), nullptr);
    EXPECT_EQ(t.inst()->state, STATE_PLAY);
    transitionToNext(t.inst(), l, 42);
    EXPECT_EQ(t.inst()->state, STATE_PLAY);
}

TEST(ProcessorCommands, MultiplyAndInsertCannotBeLeftHalfWritten) {
    ProcessorHost h(kRate, kSecs);
    QuillomatI* q = h.inst();
    LoopChunk* a = h.plantLoop(400);
    h.command(QM_CMD_MULTIPLY);
    LoopChunk* m = q->headLoopChunk;
    for (int cmd : {QM_CMD_REDO, QM_CMD_REDO_ALL, QM_CMD_REVERSE, QM_CMD_SCRATCH, QM_CMD_DELAY}) {
        h.command(cmd);
        EXPECT_EQ(q->state, STATE_MULTIPLY) << cmd;
        EXPECT_EQ(q->headLoopChunk, m) << cmd;
    }
    // With sync the end waits; UNDO then drops the multiply instead of
    // playing memory it has not written.
    h.ctl[QM_SYNC_MODE] = 1.0f;
    h.command(QM_CMD_MULTIPLY);
    EXPECT_EQ(q->waitingForSync, 1);
    EXPECT_EQ(q->nextState, STATE_PLAY);
    h.command(QM_CMD_UNDO);
    EXPECT_EQ(q->headLoopChunk, a);
    EXPECT_EQ(q->state, STATE_PLAY);
    EXPECT_EQ(q->waitingForSync, 0);

    h.ctl[QM_SYNC_MODE] = 0.0f;
    h.command(QM_CMD_INSERT);
    ASSERT_EQ(q->state, STATE_INSERT);
    h.command(QM_CMD_REDO);
    EXPECT_EQ(q->state, STATE_INSERT);
    h.command(QM_CMD_UNDO);
    EXPECT_EQ(q->headLoopChunk, a);
    EXPECT_EQ(q->state, STATE_PLAY);
}

TEST(ProcessorCommands, RecordsAndPlaysBackExactly) {
    ProcessorHost h(kRate, kSecs);
    QuillomatI* q = h.inst();
    h.command(QM_CMD_RECORD);
    EXPECT_EQ(q->state, STATE_REC_WAIT);
    std::vector<float> dry = h.play(300, ramp);
    EXPECT_EQ(q->state, STATE_RECORD);
    for (int i = 0; i < 300; ++i) ASSERT_FLOAT_EQ(dry[i], ramp(i));
    h.command(QM_CMD_RECORD);
    EXPECT_EQ(q->state, STATE_PLAY);
    ASSERT_NE(q->headLoopChunk, nullptr);
    EXPECT_EQ(q->headLoopChunk->lLoopLength, 300u);
    EXPECT_EQ(q->headLoopChunk->lLoopStart, 0u);
    std::vector<float> loop = h.loopAudio();
    for (int i = 0; i < 300; ++i) ASSERT_FLOAT_EQ(loop[i], ramp(i)) << i;
    std::vector<float> out = h.play(600);
    for (int i = 0; i < 600; ++i) ASSERT_FLOAT_EQ(out[i], ramp(i % 300)) << i;

    // Overdub a pass, then undo: the first take plays again, unchanged.
    h.command(QM_CMD_OVERDUB);
    h.play(300, half);
    h.command(QM_CMD_OVERDUB);
    std::vector<float> over = h.loopAudio();
    for (int i = 0; i < 300; ++i) ASSERT_FLOAT_EQ(over[i], ramp(i) + 0.5f) << i;
    h.command(QM_CMD_UNDO);
    EXPECT_EQ(h.loopAudio(), loop);
    h.command(QM_CMD_REDO);
    EXPECT_EQ(h.loopAudio(), over);
}

TEST(ProcessorCommands, RecordingPastTheMemoryStopsAndPlays) {
    ProcessorHost h(kRate, kSecs);
    QuillomatI* q = h.inst();
    h.command(QM_CMD_RECORD);
    h.play(5000, ramp);
    EXPECT_EQ(q->state, STATE_PLAY);
    ASSERT_NE(q->headLoopChunk, nullptr);
    EXPECT_LE(q->headLoopChunk->lLoopLength, q->lBufferSize);
    EXPECT_GT(q->headLoopChunk->lLoopLength, 0u);
}

TEST(ProcessorCommands, RunAllocatesNothing) {
    ProcessorHost h(kRate, kSecs);
    h.desc->run(h.handle, 0);  // anything lazily made on a first run
    const int script[] = {QM_CMD_RECORD, -1, QM_CMD_RECORD, QM_CMD_OVERDUB, -1, QM_CMD_OVERDUB,
                          QM_CMD_MULTIPLY, -1, QM_CMD_MULTIPLY, QM_CMD_INSERT, -1, QM_CMD_INSERT,
                          QM_CMD_REPLACE, -1, QM_CMD_SUBSTITUTE, QM_CMD_REVERSE, QM_CMD_MUTE,
                          QM_CMD_MUTE, QM_CMD_ONESHOT, QM_CMD_TRIGGER, QM_CMD_SCRATCH, QM_CMD_DELAY,
                          -1, QM_CMD_DELAY, QM_CMD_UNDO, QM_CMD_REDO, QM_CMD_UNDO_ALL,
                          QM_CMD_REDO_ALL, QM_CMD_QUANT_TOG, QM_CMD_ROUND_TOG};
    for (unsigned long i = 0; i < 256; ++i) h.input[i] = ramp(i);
    std::size_t allocations = 0;
    {
        qmtest::AllocationCounter counter;
        for (int cmd : script) {
            h.ctl[QM_MULTICTRL] = float(cmd);
            h.desc->run(h.handle, 256);
            h.ctl[QM_MULTICTRL] = -1.0f;
            h.desc->run(h.handle, 256);
        }
        allocations = counter.count();
    }
    EXPECT_EQ(allocations, 0u);
}
