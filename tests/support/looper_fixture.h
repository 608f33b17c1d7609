#pragma once
// A looper on the test driver with an engine that supplies common buffers, run
// block by block the way the engine does: common outputs cleared, then the
// looper in stretches with events between them.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "engine.h"
#include "event.h"
#include "looper.h"
#include "test_driver.h"

namespace qmtest {

class LooperRig {
public:
    explicit LooperRig(unsigned int common_channels = 2, Quillomat::nframes_t rate = 48000,
                       Quillomat::nframes_t block = 256)
        : driver(rate, block) {
        // No OSC port: datagrams sent to the usual ones reach no test's engine.
        engine_ok = engine.initialize(&driver, (int)common_channels, -1, "");
    }

    std::unique_ptr<Quillomat::Looper> make(unsigned int index, unsigned int chans, float secs = 2.0f,
                                            bool discrete = true) {
        return std::unique_ptr<Quillomat::Looper>(new Quillomat::Looper(&driver, index, chans, secs, discrete));
    }

    Quillomat::nframes_t block_size() { return driver.get_buffersize(); }

    // Start of a block: the engine clears what the loopers mix into.
    void begin_block() {
        for (unsigned int k = 0; k < engine.get_common_output_count(); ++k) {
            float* b = engine.get_common_output_buffer(k);
            std::fill(b, b + block_size(), 0.0f);
        }
    }

    // One whole block for one looper.
    void block(Quillomat::Looper& l) {
        begin_block();
        l.run(0, block_size());
    }

    static void send(Quillomat::Looper& l, Quillomat::Event::type_t type, int cmd) {
        Quillomat::Event ev;
        ev.Type = type;
        ev.Command = (Quillomat::Event::command_t)cmd;
        l.do_event(&ev);
    }
    static void hit(Quillomat::Looper& l, int cmd) { send(l, Quillomat::Event::type_cmd_hit, cmd); }
    static float control(Quillomat::Looper& l, Quillomat::Event::control_t ctrl, float value) {
        Quillomat::Event ev;
        ev.Type = Quillomat::Event::type_control_change;
        ev.Control = ctrl;
        ev.Value = value;
        l.do_event(&ev);
        return ev.Value;
    }
    static float value(const Quillomat::Looper& l, Quillomat::Event::control_t ctrl) {
        return l.get_control_value(ctrl);
    }

    float* in(unsigned int loop, unsigned int chan) { return driver.input(port_name("in", loop, chan)); }
    float* out(unsigned int loop, unsigned int chan) { return driver.output(port_name("out", loop, chan)); }
    float* common_in(unsigned int k) { return engine.get_common_input_buffer(k); }
    float* common_out(unsigned int k) { return engine.get_common_output_buffer(k); }

    static std::string port_name(const char* dir, unsigned int loop, unsigned int chan) {
        char name[64];
        snprintf(name, sizeof(name), "loop%u_%s_%u", loop, dir, chan + 1);
        return name;
    }

    TestDriver driver;
    Quillomat::Engine engine;
    bool engine_ok = false;
};

} // namespace qmtest
