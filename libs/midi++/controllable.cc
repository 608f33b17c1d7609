#include <midi++/controllable.h>
#include <midi++/parser.h>
#include <midi++/port.h>

#include <kvo/transmitter.h>

#include <cstdio>

namespace MIDI {

using Kvo::info;

Controllable::Controllable(Port* p, bool is_bistate)
    : bistate(is_bistate), connections(0), port(nullptr), control_type(none),
      control_additional(0xFF), control_channel(0), _control_description("MIDI Control: none"), feedback(true) {
    midi_rebind(p, 0);
}

Controllable::~Controllable() { drop_external_control(); }

void Controllable::midi_rebind(Port* p, signed char channel) {
    port = p;
    if (channel < 0) {
        channel = control_channel;
    }
    bind_midi(channel, control_type, control_additional);
}

void Controllable::learn_about_external_control() {
    drop_external_control();
    if (!port) {
        info << "No MIDI port specified - external control disabled" << endmsg;
        return;
    }
    if (!port->input()) {
        info << "MIDI port " << port->name() << " has no input - external control disabled" << endmsg;
        return;
    }
    midi_learn_connection = port->input()->any.connect(SigC::slot(*this, &Controllable::midi_receiver));
    learning_started();
}

void Controllable::stop_learning() { midi_learn_connection.disconnect(); }

void Controllable::drop_external_control() {
    if (connections > 0) {
        midi_sense_connection[0].disconnect();
    }
    if (connections > 1) {
        midi_sense_connection[1].disconnect();
    }
    connections = 0;
    midi_learn_connection.disconnect();
    control_type = none;
    control_additional = 0xFF;
}

void Controllable::set_control_type(signed char channel, eventType kind, byte number) {
    bind_midi(channel, kind, number);
}

bool Controllable::get_control_info(signed char& channel, eventType& kind, byte& number) {
    if (control_type == none) {
        return false;
    }
    channel = control_channel;
    kind = control_type;
    number = control_additional;
    return true;
}

void Controllable::bind_midi(signed char chn, eventType kind, byte number) {
    drop_external_control();
    if (chn < 0 || chn > 15) {
        // The per-channel signals have sixteen entries: nothing to bind to.
        return;
    }
    control_type = kind;
    control_channel = chn;
    control_additional = number;

    if (!port || !port->input()) {
        return;
    }
    Parser& p = *port->input();
    const int ch = chn;
    auto connect_note = [&](bool note_on) {
        return note_on ? p.channel_note_on[ch].connect(SigC::slot(*this, &Controllable::midi_sense_note_on))
                       : p.channel_note_off[ch].connect(SigC::slot(*this, &Controllable::midi_sense_note_off));
    };

    switch (kind) {
    case off:
    case on:
        // The bound kind first; a two-state control also hears its opposite.
        midi_sense_connection[0] = connect_note(kind == on);
        connections = 1;
        if (bistate) {
            midi_sense_connection[1] = connect_note(kind != on);
            connections = 2;
        }
        _control_description = kind == on ? "MIDI control: NoteOn" : "MIDI control: NoteOff";
        break;
    case MIDI::controller: {
        midi_sense_connection[0] =
            p.channel_controller[ch].connect(SigC::slot(*this, &Controllable::midi_sense_controller));
        connections = 1;
        char buf[64];
        std::snprintf(buf, sizeof(buf), "MIDI control: Controller %d", int(control_additional));
        _control_description = buf;
        break;
    }
    case program:
        if (!bistate) {
            midi_sense_connection[0] =
                p.channel_program_change[ch].connect(SigC::slot(*this, &Controllable::midi_sense_program_change));
            connections = 1;
            _control_description = "MIDI control: ProgramChange";
        }
        break;
    case MIDI::pitchbend:
        if (!bistate) {
            midi_sense_connection[0] =
                p.channel_pitchbend[ch].connect(SigC::slot(*this, &Controllable::midi_sense_pitchbend));
            connections = 1;
            _control_description = "MIDI control: Pitchbend";
        }
        break;
    default:
        break;
    }
}

void Controllable::midi_sense_note(Parser&, EventTwoBytes* msg, bool is_on) {
    if (!bistate) {
        set_value(msg->note_number / 127.0f);
        return;
    }
    if (msg->note_number == control_additional) {
        set_value(is_on ? 1.0f : 0.0f);
    }
}

void Controllable::midi_sense_controller(Parser&, EventTwoBytes* msg) {
    if (msg->controller_number != control_additional) {
        return;
    }
    if (bistate) {
        set_value(msg->value > 64 ? 1.0f : 0.0f);
    } else {
        set_value(msg->value / 127.0f);
    }
}

void Controllable::midi_sense_program_change(Parser&, byte msg) { set_value(msg / 127.0f); }

// Pitch bend spans fourteen bits: a full bend is 1.
void Controllable::midi_sense_pitchbend(Parser&, pitchbend_t pb) { set_value(pb / 16383.0f); }

void Controllable::midi_receiver(Parser&, byte* msg, unsigned long len) {
    // Learn only from channel messages.
    if (len < 2 || msg[0] < 0x80 || msg[0] >= 0xF0) {
        return;
    }
    if (!port || !port->input()) {
        return;
    }
    bind_midi(static_cast<signed char>(msg[0] & 0xF), eventType(msg[0] & 0xF0), msg[1]);
    learning_stopped();
}

void Controllable::send_midi_feedback(float value) {
    if (!port || control_type == none) {
        return;
    }
    // Out-of-range values are held to the ends: a data byte never has its
    // top bit set.
    if (!(value > 0.0f)) {
        value = 0.0f;
    } else if (value > 1.0f) {
        value = 1.0f;
    }
    byte msg[3];
    msg[0] = byte((control_type & 0xF0) | (control_channel & 0xF));
    switch (control_type) {
    case program:
        // A program change has one data byte.
        msg[1] = byte(value * 127.0f);
        port->write(msg, 2);
        break;
    case MIDI::pitchbend: {
        const unsigned int pb = unsigned(value * 16383.0f);
        msg[1] = byte(pb & 0x7F);
        msg[2] = byte((pb >> 7) & 0x7F);
        port->write(msg, 3);
        break;
    }
    default:
        msg[1] = control_additional & 0x7F;
        msg[2] = byte(value * 127.0f);
        port->write(msg, 3);
        break;
    }
}

} // namespace MIDI
