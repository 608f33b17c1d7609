// libFuzzer target: arbitrary bytes through a port's parsers and everything
// that listens to them (channel state, machine control, time code, learnable
// controls, tracing). Run by scripts/fuzz.sh.

#include <midi++/channel.h>
#include <midi++/controllable.h>
#include <midi++/mmc.h>
#include <midi++/nullmidi.h>
#include <midi++/parser.h>
#include <midi++/port_request.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace {

struct Control : public MIDI::Controllable {
    explicit Control(MIDI::Port* p, bool bistate) : MIDI::Controllable(p, bistate) {}
    void set_value(float v) override {
        if (!(v >= 0.0f && v <= 1.0f)) {
            std::abort();
        }
        send_midi_feedback(v);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    // The first byte picks the listeners' settings; the rest is the stream.
    const uint8_t opts = data[0];
    ++data;
    --size;

    MIDI::PortRequest req("fuzz", "fuzz", "in", "null");
    MIDI::Null_MidiPort port(req);
    MIDI::Parser& in = *port.input();

    MIDI::MachineControl::CommandSignature cmds{};
    MIDI::MachineControl::ResponseSignature resp{};
    MIDI::MachineControl mmc(port, 1.0f, cmds, resp);
    mmc.set_device_id(opts >> 4);

    Control learner(&port, opts & 1);
    learner.learn_about_external_control();
    Control bound(&port, opts & 2);
    bound.set_control_type(static_cast<signed char>(opts & 0xF), MIDI::eventType(opts & 0xF0), opts >> 1);

    std::ostringstream trace;
    if (opts & 4) {
        in.trace(true, &trace, "in ");
    }
    in.set_mmc_forwarding(opts & 8);
    in.set_mtc_forwarding(opts & 16);
    if (opts & 32) {
        in.edit.connect([opts](MIDI::byte*, unsigned long n) { return int(n % 3) - ((opts & 64) ? 1 : 0); });
    }
    // Every pointer handed out must cover the length it claims.
    unsigned long touched = 0;
    in.any.connect([&](MIDI::Parser&, MIDI::byte* m, unsigned long n) {
        for (unsigned long i = 0; i < n; ++i) {
            touched += m[i];
        }
    });

    for (size_t i = 0; i < size; ++i) {
        in.scanner(data[i]);
    }

    // The decoder also takes raw messages that no parser would pass on.
    std::vector<MIDI::byte> raw(data, data + size);
    mmc.process_mmc_message(in, raw.data(), raw.size());
    return touched == ~0UL ? 1 : 0;
}
