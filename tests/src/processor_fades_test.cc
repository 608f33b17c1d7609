// What is heard fades out when undo all takes the loop away and back in when
// redo all brings it back, in every state and however the commands crowd
// each other: measured as the steps between neighbouring output samples,
// through the processor's descriptor and through a looper whose rate moves.
#include "looper.h"
#include "looper_fixture.h"
#include "processor_fixture.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

namespace {

using qmtest::ProcessorHost;
using Samples = std::vector<float>;
using Script = std::vector<std::pair<size_t, int>>;  // (frame, command)

const unsigned long kRate = 48000;
const uint32_t kLoop = 9600;  // a whole number of periods of every tone below
const double kTwoPi = 6.283185307179586;

// A tone with a few partials, as music has, or a plain sine; both seamless
// round a loop of kLoop frames.
float signal(bool music, double t, double phase, float gain) {
    if (!music) return gain * float(std::sin(kTwoPi * 1000.0 * t / kRate + phase));
    static const double partials[][2] = {{220, 0.3}, {440, 0.24}, {660, 0.2}, {1100, 0.16}, {1980, 0.1}};
    double v = 0.0;
    int k = 1;
    for (const auto& p : partials) v += p[1] * std::sin(kTwoPi * p[0] * t / kRate + phase * k++);
    return gain * float(v);
}

// The largest difference between neighbouring samples of [from, to).
float largestStep(const Samples& v, size_t from, size_t to) {
    float step = 0.0f;
    for (size_t i = std::max<size_t>(from, 1); i < to && i < v.size(); ++i)
        step = std::max(step, std::fabs(v[i] - v[i - 1]));
    return step;
}

struct Take {
    bool music = true;
    float loopGain = 0.5f, inputGain = 0.25f;
    double loopPhase = 0.0, inputPhase = 0.0;
    int fade = 64;
    Script lead;      // the commands into the state
    Script commands;  // undo all and redo all
    int end = -1;     // ends the take where the first of them falls, when they do not
    size_t frames = 0;
    uint32_t seed = 1;  // where the host splits its blocks
};

// A loop of the tone heard whole, the tone coming in; only the loop is heard
// (dry 0). Blocks of random sizes, commands between them.
Samples render(const Take& k, bool commands) {
    ProcessorHost h(kRate, "4");
    h.ctl[QM_DRY] = 0.0f;
    h.ctl[QM_FADE_SAMPLES] = float(k.fade);
    h.desc->activate(h.handle);  // the levels start where the ports stand
    QuillomatI* q = h.inst();
    LoopChunk* c = h.plantLoop(kLoop);
    for (uint32_t i = 0; i < kLoop; ++i) *qmCell(q, c, i) = signal(k.music, i, k.loopPhase, k.loopGain);
    q->fPlayFadeAtten = 1.0f;

    Script script = k.lead;
    if (commands) script.insert(script.end(), k.commands.begin(), k.commands.end());
    else script.push_back({k.commands.front().first, k.end});
    std::stable_sort(script.begin(), script.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::mt19937 blocks(k.seed);
    Samples out;
    size_t next = 0;
    while (out.size() < k.frames) {
        const size_t t = out.size();
        for (; next < script.size() && script[next].first == t; ++next)
            if (script[next].second >= 0) h.command(script[next].second);
        size_t n = std::min(std::uniform_int_distribution<size_t>(1, 700)(blocks), k.frames - t);
        if (next < script.size()) n = std::min(n, script[next].first - t);
        for (size_t i = 0; i < n; ++i) h.input[i] = signal(k.music, double(t + i), k.inputPhase, k.inputGain);
        h.run(n);
        out.insert(out.end(), h.output.begin(), h.output.begin() + n);
    }
    return out;
}

// The steps from undo all on, as a multiple of the largest step of the same
// take without it, ended by its own command there: the loop as it is heard
// whole, before the take and after it.
float worstStep(const Take& k) {
    const Samples with = render(k, true), without = render(k, false);
    return largestStep(with, k.commands.front().first, k.frames) / largestStep(without, 0, k.frames);
}

const size_t kEnter = 2000;

TEST(ProcessorFades, UndoAllRedoAllUndoAllNeverStepPastTheLoopItself) {
    // Any state, undo all at any time, redo all and undo all again soon
    // after, often within the first one's fade; a tone of partials or a
    // plain sine, coming in in phase with the loop or not. With a fade, no
    // step is more than 1.5 times the loop's own largest; with none (fade
    // 0 or 1) the loop is gone at once.
    struct State {
        int enter, then, end;  // `then` half a loop after `enter`
    };
    const State states[] = {{-1, -1, -1},
                            {QM_CMD_REVERSE, -1, -1},
                            {QM_CMD_OVERDUB, -1, QM_CMD_OVERDUB},
                            {QM_CMD_MULTIPLY, -1, QM_CMD_MULTIPLY},
                            {QM_CMD_INSERT, -1, QM_CMD_RECORD},
                            {QM_CMD_INSERT, QM_CMD_INSERT, -1},  // running on to its end
                            {QM_CMD_REPLACE, -1, QM_CMD_REPLACE},
                            {QM_CMD_SUBSTITUTE, -1, QM_CMD_SUBSTITUTE}};
    const int fades[] = {0, 1, 64, 8192};
    std::mt19937 rng(40);
    auto upTo = [&](size_t n) { return std::uniform_int_distribution<size_t>(1, std::max<size_t>(n, 1))(rng); };
    for (int trial = 0; trial < 128; ++trial) {
        const State& s = states[trial % 8];
        Take k;
        k.lead = {{kEnter, s.enter}, {kEnter + kLoop / 2, s.then}};
        k.end = s.end;
        k.fade = fades[trial / 8 % 4];
        k.music = trial / 32 % 2 == 0;
        k.seed = uint32_t(trial + 1);
        k.loopPhase = std::uniform_real_distribution<double>(0.0, kTwoPi)(rng);
        k.inputPhase = rng() % 2 ? k.loopPhase : std::uniform_real_distribution<double>(0.0, kTwoPi)(rng);
        const size_t within = size_t(std::max(k.fade, 2));
        const size_t undo = kEnter + upTo(2 * kLoop);
        const size_t redo = undo + (rng() % 3 ? upTo(within) : upTo(3 * within));
        const size_t again = redo + (rng() % 3 ? upTo(within) : upTo(3 * within));
        k.commands = {{undo, QM_CMD_UNDO_ALL}, {redo, QM_CMD_REDO_ALL}, {again, QM_CMD_UNDO_ALL}};
        k.frames = again + 8192 + 2 * kLoop;
        SCOPED_TRACE(::testing::Message() << "trial " << trial << ": commands " << s.enter << ", " << s.then
                                          << ", fade " << k.fade << ", undo all at " << undo << ", redo all at "
                                          << redo << ", undo all at " << again);
        if (k.fade > 1) {
            EXPECT_LE(worstStep(k), 1.5f);
            continue;
        }
        const Samples out = render(k, true);
        for (size_t t = undo; t < redo; ++t) ASSERT_EQ(out[t], 0.0f) << "frame " << t;
    }
}

TEST(ProcessorFades, UndoAllWithinTheFadeOfAnotherAddsToIt) {
    // A second undo all 2000 frames after the first, redo all between them:
    // what the first one still fades out goes on under the second.
    Take k;
    k.music = false;
    k.fade = 8192;
    k.commands = {{6000, QM_CMD_UNDO_ALL}, {7000, QM_CMD_REDO_ALL}, {8000, QM_CMD_UNDO_ALL}};
    k.frames = 20000;
    EXPECT_LE(worstStep(k), 1.5f);
}

TEST(ProcessorFades, UndoAllInAnOverdubFadesOutWhatWasHeard) {
    // The input coming in, in phase with the loop, is not heard: what fades
    // out is the loop as it was, not with the input added.
    Take k;
    k.music = false;
    k.loopGain = k.inputGain = 0.3f;
    k.lead = {{kEnter, QM_CMD_OVERDUB}};
    k.commands = {{kEnter + 3012, QM_CMD_UNDO_ALL}};
    k.end = QM_CMD_OVERDUB;
    k.frames = 8000;
    EXPECT_LE(worstStep(k), 1.5f);
}

// A looper records a sine as its loop, fades of 8192 samples, then plays it
// at each rate given from its frame on, and takes the commands at theirs.
// The wet output.
Samples looperRender(const std::vector<std::pair<size_t, float>>& rates, const Script& commands, size_t frames) {
    using namespace Quillomat;
    using qmtest::LooperRig;
    struct At {
        size_t frame;
        int command;  // -1: the rate changes
        float rate;
    };
    std::vector<At> script = {{0, Event::RECORD, 0.0f}, {kLoop, Event::RECORD, 0.0f}};
    for (const auto& c : commands) script.push_back({c.first, c.second, 0.0f});
    for (const auto& r : rates) script.push_back({r.first, -1, r.second});
    std::stable_sort(script.begin(), script.end(), [](const At& a, const At& b) { return a.frame < b.frame; });

    const nframes_t block = 64;
    LooperRig rig(2, kRate, block);
    auto l = rig.make(0, 1, 2.0f, true);
    LooperRig::control(*l, Event::UseCommonIns, 0.0f);
    LooperRig::control(*l, Event::DryLevel, 0.0f);
    LooperRig::control(*l, Event::FadeSamples, 8192.0f);
    Samples out(frames + block);
    size_t next = 0;
    for (size_t s = 0; s < frames; s += block) {
        for (nframes_t j = 0; j < block; ++j) rig.in(0, 0)[j] = signal(false, double(s + j), 0.0, 0.5f);
        rig.begin_block();
        nframes_t done = 0;
        for (; next < script.size() && script[next].frame < s + block; ++next) {
            const nframes_t at = nframes_t(script[next].frame - s);
            if (at > done) l->run(done, at - done);
            done = at;
            if (script[next].command >= 0) LooperRig::hit(*l, script[next].command);
            else LooperRig::control(*l, Event::Rate, script[next].rate);
        }
        l->run(done, block - done);
        std::copy(rig.out(0, 0), rig.out(0, 0) + block, out.begin() + long(s));
    }
    return out;
}

TEST(ProcessorFades, UndoAllDuringARateTripOrItsReturnStepsAsTheLoop) {
    // Undo all, redo all and undo all within one fade, while the loop runs
    // at another rate or crossfades back into rate 1, at four phases of the
    // tone; as a multiple of the largest step of the same frames without them.
    for (float rate : {0.5f, 1.5f, 4.0f}) {
        for (bool returning : {false, true}) {
            const size_t trip = 2 * kLoop + 3001, back = trip + 2000;
            std::vector<std::pair<size_t, float>> rates = {{trip, rate}};
            if (returning) rates.push_back({back, 1.0f});
            float worst = 0.0f;
            for (size_t phase = 0; phase < 32; phase += 8) {
                const size_t undo = (returning ? back + 23 : trip + 1000) + phase, frames = undo + 12192;
                const Script commands = {{undo, Quillomat::Event::UNDO_ALL},
                                         {undo + 1000, Quillomat::Event::REDO_ALL},
                                         {undo + 2000, Quillomat::Event::UNDO_ALL}};
                const Samples with = looperRender(rates, commands, frames), without = looperRender(rates, {}, frames);
                worst = std::max(worst, largestStep(with, undo, frames) / largestStep(without, undo, frames));
            }
            EXPECT_LE(worst, 1.5f) << "rate " << rate << (returning ? ", returning" : "");
        }
    }
}

}  // namespace
