// Datagrams from the network: any bytes go through liblo to the handlers,
// which must queue nothing unsafe. The engine then runs what they queued
// (without touching files or sending to the addresses the bytes named).
// The bytes also go as the element of a bundle, alone and then followed by
// a request that always acts: a bundle acts whole or not at all, so that
// request acts exactly when the bundle of the bytes alone was taken, and a
// bundle refused queues nothing.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <string>

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

// Runs what was queued; how many requests.
size_t run_all(Quillomat::Engine& e)
{
    size_t count = 0;
    while (Quillomat::EventNonRT* req = e.pop_nonrt_event()) {
        run(e, req);
        ++count;
    }
    return count;
}

std::string element(const std::string& bytes)
{
    const uint32_t size = htonl((uint32_t)bytes.size());
    return std::string((const char*)&size, 4) + bytes;
}

// "/ping" with an empty URL and a path.
const std::string kActs("/ping\0\0\0,ss\0\0\0\0\0/fuzz\0\0\0", 24);
const std::string kBundle("#bundle\0\0\0\0\0\0\0\0\1", 16);

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Rig& r = rig();
    Quillomat::ControlOSC* osc = r.engine.get_control_osc();
    const std::string bytes((const char*)data, size);
    const std::string alone = kBundle + element(bytes);
    const bool taken = osc->dispatch_data(alone.data(), alone.size()) >= 0;
    const size_t requests = run_all(r.engine);
    if (!taken && requests != 0) {
        __builtin_trap();
    }
    const std::string followed = alone + element(kActs);
    osc->dispatch_data(followed.data(), followed.size());
    // Well within the request queue, none was lost.
    if (requests < 512 && (run_all(r.engine) == requests + 1) != taken) {
        __builtin_trap();
    }

    osc->dispatch_data(data, size);
    run_all(r.engine);
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
