// One incoming controller message looked up and turned into a control event,
// with 1 (the baseline), 100 and 1,000 bindings loaded; and a note that hits
// a command binding. Items are messages. The time per message should stay
// nearly flat as the table grows: the table is keyed by status and data byte.
#include <benchmark/benchmark.h>

#include <sstream>
#include <string>

#include "midi_bridge.h"

namespace {

using Quillomat::Event;

struct Sink : public SigC::Object {
    float sum = 0.0f;
    long commands = 0;
    void control(Event::type_t, Event::control_t, float v, int8_t, long) { sum += v; }
    void command(Event::type_t, Event::command_t, int8_t, long) { ++commands; }
};

// n bindings, spread over controllers of channels 0..15 and notes of channel 0.
int load(Quillomat::MidiBridge& bridge, int n)
{
    std::ostringstream text;
    for (int i = 0; i < n; ++i) {
        if (i % 8 == 7) {
            text << 0 << " n " << (i / 8) % 128 << "  note record -1  0 1  \n";
        } else {
            text << (i % 16) << " cc " << (i / 16) % 128 << "  set wet -1  0 1  \n";
        }
    }
    Kvo::LockMonitor lm(bridge.bindings_lock(), __LINE__, __FILE__);
    std::istringstream in(text.str());
    bridge.bindings().load_bindings(in, false);
    Quillomat::MidiBindings::BindingList all;
    bridge.bindings().get_bindings(all);
    return int(all.size());
}

void BM_ControllerToEvent(benchmark::State& state)
{
    Quillomat::MidiBridge bridge("bench");
    Sink sink;
    bridge.MidiControlEvent.connect(SigC::slot(sink, &Sink::control));
    state.counters["bindings"] = load(bridge, int(state.range(0)));
    unsigned char value = 0;
    for (auto _ : state) {
        bridge.inject_midi(0xB0, 0, value, 0);  // channel 0, controller 0: always bound
        value = (value + 1) & 0x7F;
    }
    benchmark::DoNotOptimize(sink.sum);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ControllerToEvent)->Arg(1)->Arg(100)->Arg(1000);

void BM_NoteToCommand(benchmark::State& state)
{
    Quillomat::MidiBridge bridge("bench");
    Sink sink;
    bridge.MidiCommandEvent.connect(SigC::slot(sink, &Sink::command));
    state.counters["bindings"] = load(bridge, int(state.range(0)));
    bool on = true;
    for (auto _ : state) {
        bridge.inject_midi(on ? 0x90 : 0x80, 0, 100, 0);  // note 0 of channel 0
        on = !on;
    }
    benchmark::DoNotOptimize(sink.commands);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NoteToCommand)->Arg(8)->Arg(1000);

} // namespace
