// libFuzzer target: arbitrary bytes from a MIDI port through its parser into
// the bridge, with bindings of every kind, learning and capture.
#include <midi++/nullmidi.h>
#include <midi++/parser.h>
#include <midi++/port_request.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <sstream>

#include "midi_bridge.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    // The first byte picks learn and capture; the rest is the stream.
    const uint8_t opts = data[0];

    Quillomat::MidiBridge bridge("fuzz");
    std::istringstream text("0 cc 7  set wet -1  0 1  \n0 cc 7  set dry 300  1 0  gain\n"
                            "1 n 60  note record 0  0 1  \n15 n 127  susnote undo 2  0 1  \n"
                            "0 pc 0  hit redo 1  0 1  \n0 n 0  up mute -1  0 1  \n");
    bridge.bindings().load_bindings(text, false);
    bridge.MidiCommandEvent.connect([](Quillomat::Event::type_t, Quillomat::Event::command_t, int8_t, long) {});
    bridge.MidiControlEvent.connect([](Quillomat::Event::type_t, Quillomat::Event::control_t, float v, int8_t, long) {
        if (!std::isfinite(v)) {
            __builtin_trap(); // the engine must never be handed NaN or infinity
        }
    });
    bridge.MidiSyncEvent.connect([](Quillomat::Event::control_t, long) {});
    if (opts & 1) {
        Quillomat::MidiBindInfo learn;
        learn.unserialize("0 n 0  set feedback 0  0 1  ");
        bridge.start_learn(learn);
    }
    if (opts & 2) {
        bridge.start_get_next();
    }

    MIDI::PortRequest req("fuzz", "fuzz", "in", "null");
    MIDI::Null_MidiPort port(req);
    port.input()->any.connect([&](MIDI::Parser& p, MIDI::byte* m, unsigned long n) { bridge.incoming_midi(p, m, n); });
    for (size_t i = 1; i < size; ++i) {
        port.input()->scanner(data[i]);
    }
    return 0;
}
