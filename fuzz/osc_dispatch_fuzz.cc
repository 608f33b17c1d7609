// Datagrams from the network: any bytes go through liblo to the handlers,
// which must queue nothing unsafe. The engine then runs what they queued
// (without touching files or sending to the addresses the bytes named).
#include <cstddef>
#include <cstdint>

#include "control_osc.h"
#include "engine.h"
#include "memory_driver.h"
#include "midi_bridge.h"

namespace {

qmtest::MemoryDriver driver(100, 16);

struct Rig {
    Quillomat::MidiBridge bridge{"fuzz"};
    Quillomat::Engine engine;
    Rig()
    {
        engine.set_midi_bridge(&bridge);
        engine.set_ignore_quit(true);
        engine.initialize(&driver, 2, 47200, "");
        engine.add_loop(1, 0.5f, true);
        engine.add_loop(2, 0.5f, true);
    }
};

Rig& rig()
{
    static Rig* r = new Rig();
    return *r;
}

// Runs a request as the engine thread would, with the answer address
// dropped; file requests and loop additions are only freed.
void run(Quillomat::Engine& e, Quillomat::EventNonRT* req)
{
    using namespace Quillomat;
    bool runs = true;
    if (auto* r = dynamic_cast<GetParamEvent*>(req)) {
        r->ret_url.clear();
    } else if (auto* r = dynamic_cast<GlobalGetEvent*>(req)) {
        r->ret_url.clear();
    } else if (auto* r = dynamic_cast<ConfigUpdateEvent*>(req)) {
        r->ret_url.clear();
    } else if (auto* r = dynamic_cast<PingEvent*>(req)) {
        r->ret_url.clear();
    } else if (auto* r = dynamic_cast<RegisterConfigEvent*>(req)) {
        r->ret_url.clear();
    } else if (auto* r = dynamic_cast<MidiBindingEvent*>(req)) {
        r->ret_url.clear();
        runs = r->type != MidiBindingEvent::Load && r->type != MidiBindingEvent::Save;
    } else if (auto* r = dynamic_cast<ConfigLoopEvent*>(req)) {
        runs = r->type == ConfigLoopEvent::Remove;
    } else if (dynamic_cast<GlobalSetEvent*>(req)) {
    } else {
        runs = false;  // loop files and sessions
    }
    if (runs) {
        e.process_nonrt_event(req);
    }
    delete req;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Rig& r = rig();
    r.engine.get_control_osc()->dispatch_data(data, size);
    while (Quillomat::EventNonRT* req = r.engine.pop_nonrt_event()) {
        run(r.engine, req);
    }
    Quillomat::Event ev;
    while (r.engine.pop_update_event(ev)) {
    }
    r.engine.process(16);
    r.engine.delete_released_loops();
    // Loops removed by the bytes come back, so that there is always
    // something to address.
    while (r.engine.loop_count() < 2) {
        r.engine.add_loop(1, 0.5f, true);
    }
    return 0;
}
