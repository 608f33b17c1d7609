// Beats and tempo as a performer meets them: beats on the sync pulses at any
// block size, and tempo from taps and MIDI clock from the first measured beat.
#include "engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
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

// An engine run in blocks of one size, with taps, MIDI clock, loop 0's
// record command and its quantize setting at their frames; keeps the frames
// of the sync pulses and of the beats the engine reports.
struct SyncRig {
    enum Msg { Tap, Start, Stop, Tick, Record, Unquantized, Cycles, Eighths };  // the last three: quantize 0, 1, 2

    explicit SyncRig(nframes_t block) : block(block), driver((nframes_t)kRate, block)
    {
        ok = engine.initialize(&driver, 1, 10051, "");
    }
    // In frame order.
    void at(long frame, Msg m) { due.emplace_back(frame, m); }
    void run_to(long until)
    {
        for (; frame < until; frame += block) {
            for (; next < due.size() && due[next].first < frame + (long)block; ++next) {
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
            engine.process(block);
            for (nframes_t j = 0; j < block; ++j) {
                if (engine.get_internal_sync_buf()[j] != 0.0f) pulses.push_back(frame + (long)j);
            }
            if (engine.take_beat_occurred()) beats.push_back((long)engine.get_beat_frame());
        }
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
