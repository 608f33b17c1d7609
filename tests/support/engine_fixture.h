#pragma once
// An engine on the test driver, run block by block from the test thread (or
// by the driver's audio thread), with helpers to watch its sync signal and
// loop outputs.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "engine.h"
#include "event.h"
#include "looper.h"
#include "looper_fixture.h"
#include "test_driver.h"

namespace qmtest {

class EngineRig {
public:
    static const Quillomat::nframes_t kRate = 48000;
    static const Quillomat::nframes_t kBlock = 256;

    explicit EngineRig(int common_channels = 2) : driver(kRate, kBlock) {
        // No OSC port: what other programs send to the looper's usual ports
        // must not reach an engine a test drives block by block.
        ok = engine.initialize(&driver, common_channels, -1, "");
        engine.LoopRemoved.connect([this] { ++removed_signals; });
    }
    // The audio thread stops before the engine goes.
    ~EngineRig() { driver.stop_audio(); }

    // Blocks run from the test thread; frame counts the frames run so far.
    void run(int blocks = 1) {
        for (int b = 0; b < blocks; ++b) {
            if (transport_rolling >= 0) {
                Quillomat::TransportInfo t;
                t.framepos = (Quillomat::nframes_t)frame;
                t.bpm = transport_bpm;
                t.state = transport_rolling ? Quillomat::TransportInfo::ROLLING : Quillomat::TransportInfo::STOPPED;
                driver.set_transport(t);
            }
            engine.process(kBlock);
            const float* s = engine.get_internal_sync_buf();
            for (Quillomat::nframes_t j = 0; j < kBlock; ++j) {
                if (s[j] != 0.0f) pulses.push_back(frame + (long)j);
            }
            beats += engine.take_beat_occurred() ? 1 : 0;
            frame += kBlock;
        }
    }

    // Runs until the global frame `until`, pushing a MIDI sync message of
    // type ctrl at every `every` frames from `first` on.
    void run_midi_clock(long first, long every, long until) {
        long next = first;
        bool start = true;
        while (frame < until) {
            for (; next < frame + (long)kBlock; next += every) {
                engine.push_sync_event(start ? Quillomat::Event::MidiStart : Quillomat::Event::MidiTick,
                                       next - frame);
                start = false;
            }
            run();
        }
    }

    // One block for the audio side of queued loop changes, then their deletion.
    void settle() {
        run();
        engine.delete_released_loops();
    }

    bool add(unsigned int chans = 1, float secs = 0.5f) { return engine.add_loop(chans, secs, true); }

    float* loop_in(int loop, int chan = 0) { return driver.input(LooperRig::port_name("in", loop, chan)); }
    float* loop_out(int loop, int chan = 0) { return driver.output(LooperRig::port_name("out", loop, chan)); }

    float global(const std::string& name) {
        float v = -999.0f;
        engine.get_global_param(name, v);
        return v;
    }

    // Pulses seen in [from, to).
    std::vector<long> pulses_between(long from, long to) const {
        std::vector<long> out;
        for (long p : pulses) {
            if (p >= from && p < to) out.push_back(p);
        }
        return out;
    }

    TestDriver driver;
    Quillomat::Engine engine;
    bool ok = false;
    long frame = 0;
    std::vector<long> pulses;
    int beats = 0;
    int removed_signals = 0;
    int transport_rolling = -1;  // -1: no transport; 0 stopped; 1 rolling
    double transport_bpm = 120.0;
};

// QM_MEMORY_BUDGET (megabytes) for the engines initialised while it lives;
// null leaves it unset.
class MemoryBudget {
public:
    explicit MemoryBudget(const char* megabytes) {
        if (megabytes) {
            setenv("QM_MEMORY_BUDGET", megabytes, 1);
        } else {
            unsetenv("QM_MEMORY_BUDGET");
        }
    }
    explicit MemoryBudget(size_t megabytes) : MemoryBudget(std::to_string(megabytes).c_str()) {}
    ~MemoryBudget() { unsetenv("QM_MEMORY_BUDGET"); }
    MemoryBudget(const MemoryBudget&) = delete;
    MemoryBudget& operator=(const MemoryBudget&) = delete;
};

// A session document of `loops` loops, each of chans channels and secs seconds.
inline std::string session_text(int loops, unsigned int chans, float secs, double tempo = 110.0) {
    std::string text = "<QMSession><Globals tempo=\"" + std::to_string(tempo) + "\"/><Loopers>";
    for (int l = 0; l < loops; ++l) {
        text += "<Looper index=\"" + std::to_string(l) + "\" channels=\"" + std::to_string(chans) +
                "\" loop_secs=\"" + std::to_string(secs) + "\" discrete_io=\"yes\"><Controls/></Looper>";
    }
    return text + "</Loopers></QMSession>";
}

} // namespace qmtest
