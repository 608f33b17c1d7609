// Beats and tempo as a performer meets them: beats on the sync pulses at any
// block size, one pulse for each point of the host's grid, none from a source
// that gives none, and tempo from taps and MIDI clock from the first measured
// beat.
#include "engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "test_driver.h"

using namespace Quillomat;

namespace {

const long kRate = 48000;
const long kBeat = 24000;  // a quarter note at 120 bpm

std::vector<long> every(long first, long step, long until)
{
    std::vector<long> v;
    for (long f = first; f < until; f += step) v.push_back(f);
    return v;
}

// An engine run in blocks of one size (or of the sizes `cut` gives, at most
// that one, up to the frame asked for), with taps, MIDI clock, loop 0's
// record command and its quantize setting at their frames, and a host
// transport rolling from `host_origin` when `host_bpm` is set; keeps the
// frames of the sync pulses and of the beats the engine reports.
struct SyncRig {
    enum Msg { Tap, Start, Stop, Tick, Record, Unquantized, Cycles, Eighths };  // the last three: quantize 0, 1, 2

    explicit SyncRig(nframes_t block, nframes_t rate = (nframes_t)kRate) : block(block), driver(rate, block)
    {
        // No OSC port: what other programs send to the looper's usual ports
        // must not reach an engine a test drives block by block.
        ok = engine.initialize(&driver, 1, -1, "");
    }
    // In frame order.
    void at(long frame, Msg m) { due.emplace_back(frame, m); }
    void run_to(long until)
    {
        while (frame < until) {
            const nframes_t n = cut ? (nframes_t)std::min<long>({(long)cut(), (long)block, until - frame}) : block;
            for (; next < due.size() && due[next].first < frame + (long)n; ++next) {
                const long at = due[next].first - frame;
                const Msg m = due[next].second;
                if (m == Record) engine.push_midi_command_event(Event::type_cmd_hit, Event::RECORD, 0, at);
                if (m == Tap) engine.push_midi_control_event(Event::type_global_control_change, Event::TapTempo, 0, -2,
                                                             at);
                if (m == Start) engine.push_sync_event(Event::MidiStart, at);
                if (m == Stop) engine.push_sync_event(Event::MidiStop, at);
                if (m == Tick) engine.push_sync_event(Event::MidiTick, at);
                if (m >= Unquantized) engine.push_midi_control_event(Event::type_control_change, Event::Quantize,
                                                                     (float)(m - Unquantized), 0, at);
            }
            if (host_bpm > 0.0) {
                TransportInfo t;
                t.framepos = host_origin + (uint64_t)frame;
                t.bpm = host_bpm;
                t.state = TransportInfo::ROLLING;
                driver.set_transport(t);
            }
            engine.process(n);
            for (nframes_t j = 0; j < n; ++j) {
                if (engine.get_internal_sync_buf()[j] != 0.0f) pulses.push_back(frame + (long)j);
            }
            if (engine.take_beat_occurred()) beats.push_back((long)engine.get_beat_frame());
            frame += n;
        }
    }
    std::vector<long> pulses_from(long from) const
    {
        std::vector<long> v;
        std::copy_if(pulses.begin(), pulses.end(), std::back_inserter(v), [from](long p) { return p >= from; });
        return v;
    }
    float tempo()
    {
        float v = 0.0f;
        engine.get_global_param("tempo", v);
        return v;
    }
    // The engine's running frame at the rig's frame 0 from now on: a later,
    // larger one stands for a pause of the difference.
    void prime(uint64_t origin) { engine.set_running_frames(origin + (uint64_t)frame); }

    nframes_t block;
    std::function<nframes_t()> cut;
    double host_bpm = 0.0;
    uint64_t host_origin = 0;
    qmtest::TestDriver driver;
    Engine engine;
    bool ok = false;
    std::vector<std::pair<long, Msg>> due;
    size_t next = 0;
    long frame = 0;
    std::vector<long> pulses, beats;
};

TEST(EngineBeats, FallOnThePulsesAQuarterNoteApart)
{
    struct Case {
        int source;
        nframes_t block;   // 256 and 333 do not divide the beat
        bool unquantized;  // loop 0 unquantized: every frame is a sync point
    };
    const std::vector<Case> cases = {
        {Engine::InternalTempoSync, 1, false},   {Engine::InternalTempoSync, 64, false},
        {Engine::InternalTempoSync, 256, false}, {Engine::InternalTempoSync, 333, false},
        {Engine::InternalTempoSync, 256, true},  {Engine::MidiClockSync, 333, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("source " + std::to_string(c.source) + ", block " + std::to_string(c.block) +
                     (c.unquantized ? ", unquantized" : ""));
        SyncRig rig(c.block);
        ASSERT_TRUE(rig.ok);
        if (c.unquantized) {
            ASSERT_TRUE(rig.engine.add_loop(1, 1.0f, true));
        }
        ASSERT_TRUE(rig.engine.set_global_param("tempo", 120.0f));
        ASSERT_TRUE(rig.engine.set_global_param("sync_source", (float)c.source));
        // 100 beats; a clock starts on the first.
        rig.at(kBeat, SyncRig::Start);
        for (long t = 1; t < 24 * 100; ++t) rig.at(kBeat + t * 1000, SyncRig::Tick);
        rig.run_to(100 * kBeat + 1);
        EXPECT_EQ(rig.beats, every(kBeat, kBeat, 100 * kBeat + 1));
        EXPECT_TRUE(std::includes(rig.pulses.begin(), rig.pulses.end(), rig.beats.begin(), rig.beats.end()));
    }
}

// Whenever loop 0's quantize is turned on, its pulses fall on the grid of the
// beats from the next block on: the eighths and cycles since the tempo began.
TEST(EngineBeats, PulsesTurnedOnFallOnTheBeatsGrid)
{
    const float tempo = 133.7f;  // a quarter note of 21540.76 frames
    const double eighth = kRate * 30.0 / (double)tempo;
    struct Span {
        long on, off;  // frames of the changes
        SyncRig::Msg quantize;
    };
    const std::vector<Span> spans = {
        {0, 60000, SyncRig::Eighths}, {100000, 200000, SyncRig::Cycles}, {230000, 330000, SyncRig::Eighths}};
    for (nframes_t block : {1u, 64u, 256u, 4096u}) {
        SCOPED_TRACE("block " + std::to_string(block));
        SyncRig rig(block);
        ASSERT_TRUE(rig.engine.add_loop(1, 1.0f, true));
        ASSERT_TRUE(rig.engine.set_global_param("tempo", tempo));
        ASSERT_TRUE(rig.engine.set_global_param("eighth_per_cycle", 3.0f));
        ASSERT_TRUE(rig.engine.set_global_param("sync_source", (float)Engine::InternalTempoSync));
        for (const Span& s : spans) {
            rig.at(s.on, s.quantize);
            rig.at(s.off, SyncRig::Unquantized);
        }
        rig.run_to(spans.back().off);
        for (const Span& s : spans) {
            // A block follows the setting its start saw.
            const long from = (s.on / (long)block + 1) * (long)block, to = (s.off / (long)block + 1) * (long)block;
            const double period = s.quantize == SyncRig::Eighths ? eighth : 3 * eighth;
            std::vector<long> grid, pulses, beats;
            for (long m = 1; std::ceil(m * period) < to; ++m) {
                if (std::ceil(m * period) >= from) grid.push_back((long)std::ceil(m * period));
            }
            auto within = [&](long f) { return f >= from && f < to; };
            std::copy_if(rig.pulses.begin(), rig.pulses.end(), std::back_inserter(pulses), within);
            std::copy_if(rig.beats.begin(), rig.beats.end(), std::back_inserter(beats), within);
            EXPECT_EQ(pulses, grid) << "turned on at " << s.on;
            if (s.quantize == SyncRig::Eighths) {
                EXPECT_TRUE(std::includes(pulses.begin(), pulses.end(), beats.begin(), beats.end()));
            }
        }
    }
}

// The quarter notes counted from the loop's start, each told once at every
// block size. A quarter note of a fraction of a frame is counted in whole
// frames, so the last one of a pass falls a few frames short of the loop's
// end: it is the beat of the loop starting again, not a beat of its own.
TEST(EngineBeats, AMasterLoopsBeatsAreItsQuarterNotesOnce)
{
    struct Case {
        long length;
        float eighths;
        float tempo;
        long quarter;  // in whole frames
        int per_pass;  // beats in one pass of the loop
    };
    const std::vector<Case> cases = {
        {kRate, 4, 120.0f, kBeat, 2},     // a second of four eighths
        {77783, 16, 296.2087f, 9722, 8},  // 9722.875 frames a quarter note
    };
    for (const Case& c : cases) {
        for (nframes_t block : {1u, 64u, 256u, 4096u}) {
            SCOPED_TRACE("length " + std::to_string(c.length) + ", block " + std::to_string(block));
            SyncRig rig(block);
            ASSERT_TRUE(rig.engine.add_loop(1, 4.0f, true));
            ASSERT_TRUE(rig.engine.set_global_param("eighth_per_cycle", c.eighths));
            ASSERT_TRUE(rig.engine.set_global_param("sync_source", 1.0f));
            const long start = 1000 + c.length;  // where it starts to play
            rig.at(1000, SyncRig::Record);
            rig.at(start, SyncRig::Record);
            rig.run_to(start + 4 * c.length);
            EXPECT_NEAR(rig.tempo(), c.tempo, 0.001f);
            std::vector<long> expected;
            for (long pass = start; pass < rig.frame; pass += c.length) {
                for (int k = 1; k <= c.per_pass; ++k) expected.push_back(pass + k * c.quarter);
            }
            expected.erase(std::lower_bound(expected.begin(), expected.end(), rig.frame), expected.end());
            EXPECT_EQ(rig.beats, expected);
        }
    }
}

// The host's eighths counted from its frame 0: one pulse on the frame nearest
// each grid point and a beat on every other one, whatever the blocks.
void expect_on_the_hosts_grid(const SyncRig& rig, double rate, double bpm)
{
    const double eighth = rate * 30.0 / bpm, tie = 1e-6;
    const double first = (double)rig.host_origin, end = first + (double)rig.frame;
    ASSERT_FALSE(rig.pulses.empty());
    std::vector<long> even;
    long k0 = 0;
    for (size_t i = 0; i < rig.pulses.size(); ++i) {
        const double at = first + (double)rig.pulses[i];
        const long k = std::lround(at / eighth);
        ASSERT_LE(std::fabs(at - (double)k * eighth), 0.5 + tie) << "pulse " << i << " is off the grid";
        if (i == 0) k0 = k;
        ASSERT_EQ(k, k0 + (long)i) << "pulse " << i << " doubles or skips a grid point";
        if (k % 2 == 0) even.push_back(rig.pulses[i]);
    }
    // None missing at either end.
    EXPECT_LE((double)(k0 - 1) * eighth, first - 0.5 + tie);
    EXPECT_GE((double)(k0 + (long)rig.pulses.size()) * eighth, end - 0.5 - tie);
    EXPECT_EQ(rig.beats, even);
}

TEST(EngineBeats, TheHostsGridGetsOnePulsePerPointWhateverTheBlocks)
{
    auto run = [](nframes_t rate, double bpm, uint64_t origin, long frames, std::function<nframes_t()> cut) {
        auto rig = std::make_unique<SyncRig>(4096, rate);
        EXPECT_TRUE(rig->engine.set_global_param("sync_source", (float)Engine::JackSync));
        rig->host_bpm = bpm;
        rig->host_origin = origin;
        rig->cut = std::move(cut);
        rig->run_to(frames);
        return rig;
    };
    auto blocks_of = [](nframes_t n) { return std::function<nframes_t()>([n] { return n; }); };

    // Ten minutes at 127 bpm and 44.1 kHz: eighths of 10417.32 frames.
    auto minutes = run(44100, 127.0, 0, 600 * 44100, blocks_of(256));
    EXPECT_EQ(minutes->pulses.size(), 2540u);
    expect_on_the_hosts_grid(*minutes, 44100, 127.0);

    // Any tempo, rate and position (past 2^32 too); blocks of one frame, of
    // the most the host gives, and of random sizes give the same pulses.
    std::mt19937_64 rng(40);
    for (int trial = 0; trial < 12; ++trial) {
        const nframes_t rate = 22050 + (nframes_t)(rng() % 73951);
        const double bpm = std::uniform_real_distribution<double>(40.0, 320.0)(rng);
        const uint64_t origin = trial % 3 ? rng() % (1ull << 34) : 0;
        const long frames = (long)(rate * 30.0 / bpm * 4.5);
        SCOPED_TRACE("rate " + std::to_string(rate) + ", bpm " + std::to_string(bpm) + ", host from " +
                     std::to_string(origin));
        auto one = run(rate, bpm, origin, frames, blocks_of(1));
        expect_on_the_hosts_grid(*one, rate, bpm);
        const auto random = std::function<nframes_t()>([&rng] { return 1 + (nframes_t)(rng() % 4096); });
        for (const auto& cut : {blocks_of(4096), random}) {
            auto other = run(rate, bpm, origin, frames, cut);
            EXPECT_EQ(other->pulses, one->pulses);
            EXPECT_EQ(other->beats, one->beats);
        }
    }
}

// A source that gives no pulses gives none, whatever the source before it
// left in the sync buffer.
TEST(EngineSync, ASourceWithoutPulsesGivesNone)
{
    struct Case {
        const char* name;
        float before;  // the source before
        bool removed;  // the master loop goes instead of the source changing
    };
    const std::vector<Case> cases = {
        {"every frame, then a brother", (float)Engine::NoSync, false},
        {"the internal tempo, then a brother", (float)Engine::InternalTempoSync, false},
        {"a master loop, then the master is removed", 2.0f, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SyncRig rig(256);
        ASSERT_TRUE(rig.engine.add_loop(1, 1.0f, true) && rig.engine.add_loop(1, 1.0f, true));
        ASSERT_TRUE(rig.engine.set_global_param("tempo", 120.0f));
        ASSERT_TRUE(rig.engine.set_global_param("sync_source", c.before));
        rig.run_to(12032);  // a pulse of the internal tempo at 12000, in the last block
        ASSERT_FALSE(rig.pulses_from(11776).empty());
        if (c.removed) {
            int last = 1;
            ASSERT_TRUE(rig.engine.remove_loop_request(last));
        } else {
            ASSERT_TRUE(rig.engine.set_global_param("sync_source", (float)Engine::BrotherSync));
        }
        rig.run_to(24064);
        rig.engine.delete_released_loops();
        EXPECT_EQ(rig.pulses_from(12032), std::vector<long>{});
    }
}

TEST(EngineTempo, TapsAndClockReadTheTempoFromTheFirstMeasuredBeat)
{
    struct Case {
        const char* name;
        bool midi;
        std::vector<long> beats;     // taps, or the frames a clock's beats fall on
        std::vector<size_t> starts;  // MIDI: the beats that are a start, not a 24th tick
        std::vector<float> tempo;    // read after each beat; the engine starts at 110
        size_t pause = 0;            // a pause of 2^32 frames (and a clock's stop) before this beat
    };
    const long s = kRate / 2, f = kRate * 2 / 5, m = kRate * 3 / 5;  // beats at 120, 150 and 100 bpm
    const long b = kRate / 20;                                        // 50 ms
    const std::vector<Case> cases = {
        {"taps at 120", false, {s, 2 * s, 3 * s, 4 * s}, {}, {110, 120, 120, 120}},
        {"taps from 120 to 150 once the window is full",
         false,
         {s, 2 * s, 3 * s, 4 * s, 5 * s, 5 * s + f, 5 * s + 2 * f, 5 * s + 3 * f, 5 * s + 4 * f},
         {},
         {110, 120, 120, 120, 120, 127.5f, 135, 142.5f, 150}},
        {"a tap after a long pause begins anew", false, {s, 2 * s, 2 * s + 10 * kRate, 2 * s + 10 * kRate + f}, {},
         {110, 120, 120, 150}},
        {"a clock at 120", true, {1000, 1000 + s, 1000 + 2 * s}, {0}, {110, 120, 120}},
        {"a clock without a start", true, {30000, 30000 + s, 30000 + 2 * s}, {}, {110, 120, 120}},
        {"a new song at 100", true, {1000, 1000 + s, 1000 + 2 * s, 1000 + 2 * s + m}, {0, 2}, {110, 120, 120, 100}},
        {"a tap a second after a pause begins anew", false, {s, 2 * s, 3 * s, 3 * s + kRate, 3 * s + kRate + f}, {},
         {110, 120, 120, 120, 150}, 3},
        {"a tap 50 ms after a pause is no bounce", false, {s, 2 * s, 3 * s, 3 * s + b, 3 * s + b + f}, {},
         {110, 120, 120, 120, 150}, 3},
        {"a clock after a stop and a pause", true,
         {1000, 1000 + s, 1000 + 2 * s, 1000 + 2 * s + f, 1000 + 2 * s + 2 * f}, {0}, {110, 120, 120, 120, 150}, 3},
    };
    // The first beats straddle the running frame's 32-bit wrap.
    const uint64_t wrap = 1ull << 32, origin = wrap - (uint64_t)s * 3 / 2;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SyncRig rig(256);
        rig.prime(origin);
        ASSERT_TRUE(rig.engine.set_global_param("sync_source",
                                                (float)(c.midi ? Engine::MidiClockSync : Engine::InternalTempoSync)));
        for (size_t k = 0; k < c.beats.size(); ++k) {
            const long from = k > 0 ? c.beats[k - 1] : c.beats[0] - kBeat;
            if (c.midi && c.pause && k == c.pause) rig.at(from + 1, SyncRig::Stop);
            if (!c.midi) {
                rig.at(c.beats[k], SyncRig::Tap);
            } else if (std::count(c.starts.begin(), c.starts.end(), k)) {
                rig.at(c.beats[k], SyncRig::Start);
            } else {
                for (long t = 1; t <= 24; ++t) rig.at(from + t * (c.beats[k] - from) / 24, SyncRig::Tick);
            }
        }
        for (size_t k = 0; k < c.beats.size(); ++k) {
            if (c.pause && k == c.pause) rig.prime(origin + wrap);
            rig.run_to(c.beats[k] + 1);
            EXPECT_FLOAT_EQ(rig.tempo(), c.tempo[k]) << "after beat " << k;
        }
    }
}

// A tap less than 100 ms after the last one is the switch bouncing: the
// tempo, the pulses and the next tap's measure are as if it never came.
TEST(EngineTempo, ABouncingTapChangesNothing)
{
    const long s = kRate / 2, bounce = kRate / 10;  // taps at 120 bpm; 100 ms
    auto run = [&](std::vector<long> taps, std::vector<float>& tempos) {
        SyncRig rig(256);
        EXPECT_TRUE(rig.engine.set_global_param("sync_source", (float)Engine::InternalTempoSync));
        std::sort(taps.begin(), taps.end());
        for (long t : taps) rig.at(t, SyncRig::Tap);
        for (long until = s; until <= 5 * s; until += s / 2) rig.run_to(until), tempos.push_back(rig.tempo());
        return rig.pulses;
    };
    std::vector<float> clean_tempos, tempos;
    const std::vector<long> clean = run({s, 2 * s, 3 * s}, clean_tempos);
    ASSERT_EQ(clean_tempos.back(), 120.0f);
    for (long tap : {s + 1, s + 300, 2 * s + bounce - 1}) {
        SCOPED_TRACE(tap);
        tempos.clear();
        EXPECT_EQ(run({s, 2 * s, 3 * s, tap}, tempos), clean);
        EXPECT_EQ(tempos, clean_tempos);
    }
    EXPECT_NE(run({s, 2 * s, 3 * s, 2 * s + bounce}, tempos), clean);  // 100 ms after is a tap
}

TEST(EngineTempo, AClockFollowedAgainIsMeasuredAfresh)
{
    SyncRig rig(256);
    ASSERT_TRUE(rig.engine.set_global_param("sync_source", (float)Engine::MidiClockSync));
    rig.at(1000, SyncRig::Start);
    for (long t = 1; t <= 48; ++t) rig.at(1000 + t * 1000, SyncRig::Tick);
    rig.run_to(60000);
    EXPECT_EQ(rig.tempo(), 120.0f);
    // Not followed for a while; the clock, now at 100 bpm, is followed again:
    // its first beat has no beat before it to be measured from.
    ASSERT_TRUE(rig.engine.set_global_param("sync_source", (float)Engine::InternalTempoSync));
    rig.run_to(70000);
    ASSERT_TRUE(rig.engine.set_global_param("sync_source", (float)Engine::MidiClockSync));
    for (long t = 1; t <= 48; ++t) rig.at(70000 + t * 1200, SyncRig::Tick);
    rig.run_to(70000 + 24 * 1200 + 1);
    EXPECT_EQ(rig.tempo(), 120.0f);
    rig.run_to(70000 + 48 * 1200 + 1);
    EXPECT_EQ(rig.tempo(), 100.0f);
}

} // namespace
