#include "midi_bridge.h"

#include <cmath>
#include <cstdio>

#include "command_map.h"

namespace Quillomat {

double uniform_position_to_gain(double x)
{
    // Also catches NaN. Below 0 the eighth root does not exist, and a bound
    // under 0 must mean silence, not NaN in the engine.
    if (!(x > 0.0)) {
        return 0.0;
    }
    const double root8 = std::sqrt(std::sqrt(std::sqrt(x)));
    return std::pow(2.0, (root8 * 198.0 - 198.0) / 6.0);
}

MidiBridge::MidiBridge(std::string name) : _name(std::move(name)), _ok(true) {}

MidiBridge::~MidiBridge() {}

void MidiBridge::inject_midi(unsigned char status, unsigned char data1, unsigned char data2, long frame)
{
    // A note-off is a note-on with velocity 0, so one binding serves both.
    if ((status & 0xF0) == 0x80) {
        status = 0x90 | (status & 0x0F);
        data2 = 0;
    }
    if (_learning.load() || _getnext.load()) {
        finish_learn(status, data1);
    } else {
        queue_midi(status, data1, data2, frame);
    }
}

void MidiBridge::queue_midi(unsigned char status, unsigned char data1, unsigned char data2, long frame)
{
    Kvo::TentativeLockMonitor lm(_bindings_lock, __LINE__, __FILE__);
    if (!lm.locked()) {
        return;
    }
    const MidiBindings::BindingsMap& map = _midi_bindings.bindings_map();
    auto it = map.find((int(status) << 8) | data1);
    if (it != map.end()) {
        for (const MidiBindInfo& b : it->second) {
            float value = (data2 / 127.0f) * (b.ubound - b.lbound) + b.lbound;
            if (b.style == MidiBindInfo::GainStyle) {
                value = float(uniform_position_to_gain(value));
            }
            send_event(b, value, frame);
        }
        return;
    }
    switch (status) {
    case 0xFA:
        MidiSyncEvent.emit_rt(Event::MidiStart, frame);
        break;
    case 0xFC:
        MidiSyncEvent.emit_rt(Event::MidiStop, frame);
        break;
    case 0xF8:
        MidiSyncEvent.emit_rt(Event::MidiTick, frame);
        break;
    default:
        break;
    }
}

void MidiBridge::send_event(const MidiBindInfo& b, float value, long frame)
{
    const CommandMap& cm = CommandMap::instance();
    Event::type_t type = cm.to_type_t(b.command);
    const int8_t instance = int8_t(b.instance);
    if (b.command == "set") {
        MidiControlEvent.emit_rt(type, cm.to_control_t(b.control), value, instance, frame);
        return;
    }
    if (b.command == "note") {
        type = value > 0.0f ? Event::type_cmd_down : Event::type_cmd_up;
    } else if (b.command == "susnote") {
        type = value > 0.0f ? Event::type_cmd_down : Event::type_cmd_upforce;
    }
    MidiCommandEvent.emit_rt(type, cm.to_command_t(b.control), instance, frame);
}

void MidiBridge::finish_learn(unsigned char status, unsigned char data1)
{
    // Busy: this message is lost to the learn, which then takes the next one.
    Kvo::TentativeLockMonitor bl(_bindings_lock, __LINE__, __FILE__);
    if (!bl.locked()) {
        return;
    }
    Kvo::TentativeLockMonitor ll(_learn_lock, __LINE__, __FILE__);
    if (!ll.locked()) {
        return;
    }
    int channel = 0;
    std::string type;
    if (_learning.load()) {
        if (_midi_bindings.get_channel_and_type(status, channel, type)) {
            _learninfo.channel = channel;
            _learninfo.type = type;
            _learninfo.param = data1;
            if (CommandMap::instance().is_command(_learninfo.control)) {
                _learninfo.command = type == "pc" ? "hit" : "note";
            }
            BindingLearned.emit_rt(_learninfo);
        } else {
            fprintf(stderr, "invalid event to learn: %d\n", int(status));
        }
        _learning.store(false);
    } else if (_getnext.load()) {
        if (_midi_bindings.get_channel_and_type(status, channel, type)) {
            MidiBindInfo info;
            info.channel = channel;
            info.type = type;
            info.param = data1;
            NextMidiReceived.emit_rt(info);
        }
        _getnext.store(false);
    }
}

void MidiBridge::start_learn(const MidiBindInfo& info, bool exclusive)
{
    (void)exclusive;
    Kvo::LockMonitor lm(_learn_lock, __LINE__, __FILE__);
    _learninfo = info;
    _learning.store(true);
}

void MidiBridge::cancel_learn()
{
    Kvo::LockMonitor lm(_learn_lock, __LINE__, __FILE__);
    _learning.store(false);
}

void MidiBridge::start_get_next()
{
    Kvo::LockMonitor lm(_learn_lock, __LINE__, __FILE__);
    _getnext.store(true);
}

void MidiBridge::cancel_get_next()
{
    Kvo::LockMonitor lm(_learn_lock, __LINE__, __FILE__);
    _getnext.store(false);
}

} // namespace Quillomat
