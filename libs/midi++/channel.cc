#include <midi++/channel.h>
#include <midi++/parser.h>
#include <midi++/port.h>

#include <cstdlib>
#include <cstring>

namespace MIDI {

Channel::Channel(byte n, Port& p) : port(p), channel_number(n), chanpress(0) { reset(false); }

void Channel::connect_input_signals() {
    if (port.input()) {
        connect_signals(*port.input());
    }
}

void Channel::connect_output_signals() {
    if (port.output()) {
        connect_signals(*port.output());
    }
}

void Channel::connect_signals(Parser& p) {
    const int n = channel_number;
    p.channel_pressure[n].connect(SigC::slot(*this, &Channel::process_chanpress));
    p.channel_note_on[n].connect(SigC::slot(*this, &Channel::process_note_on));
    p.channel_note_off[n].connect(SigC::slot(*this, &Channel::process_note_off));
    p.channel_poly_pressure[n].connect(SigC::slot(*this, &Channel::process_polypress));
    p.channel_program_change[n].connect(SigC::slot(*this, &Channel::process_program_change));
    p.channel_controller[n].connect(SigC::slot(*this, &Channel::process_controller));
    p.channel_pitchbend[n].connect(SigC::slot(*this, &Channel::process_pitchbend));
    p.reset.connect(SigC::slot(*this, &Channel::process_reset));
}

void Channel::reset(bool notes_off) {
    program_number = channel_number;
    bank_number = 0;
    pitch_bend = 0;
    _last_note_on = 0;
    _last_note_off = 0;
    _last_on_velocity = 0;
    _last_off_velocity = 0;
    if (notes_off) {
        all_notes_off();
    }
    std::memset(polypress, 0, sizeof(polypress));
    std::memset(controller_msb, 0, sizeof(controller_msb));
    std::memset(controller_lsb, 0, sizeof(controller_lsb));
    for (int n = 0; n < 128; n++) {
        controller_val[n] = 0;
        controller_14bit[n] = false;
    }
    rpn_msb = 0;
    rpn_lsb = 0;
    nrpn_msb = 0;
    nrpn_lsb = 0;
    _omni = true;
    _poly = false;
    _mono = true;
    _notes_on = 0;
}

void Channel::process_note_off(Parser&, EventTwoBytes* tb) {
    _last_note_off = tb->note_number;
    _last_off_velocity = tb->velocity;
    if (_notes_on) {
        _notes_on--;
    }
}

void Channel::process_note_on(Parser&, EventTwoBytes* tb) {
    _last_note_on = tb->note_number;
    _last_on_velocity = tb->velocity;
    _notes_on++;
}

void Channel::process_controller(Parser&, EventTwoBytes* tb) {
    const unsigned int c = tb->controller_number;
    const unsigned int v = tb->value & 0x7F;
    if (c >= 128) {
        return;
    }
    if (c < 32) {
        // Coarse part of a 14-bit pair: keep the fine part already seen.
        if (controller_14bit[c]) {
            controller_val[c] = controller_value_t(v * 128 + (unsigned(controller_val[c]) & 0x7F));
        } else {
            controller_val[c] = controller_value_t(v);
        }
    } else if (c < 64) {
        const unsigned int cv = unsigned(controller_val[c - 32]);
        if (!controller_14bit[c - 32]) {
            controller_14bit[c - 32] = true;
            controller_val[c - 32] = controller_value_t((cv * 128 + v) & 0xFFFF);
        } else {
            controller_val[c - 32] = controller_value_t((cv & 0x3F80) + v);
        }
    } else {
        controller_val[c] = controller_value_t(v);
    }

    if (c == 0) {
        bank_number = byte(unsigned(controller_val[0]) & 0xFF);
        if (Parser* in = port.input()) {
            in->bank_change(*in, bank_number);
            in->channel_bank_change[channel_number](*in, bank_number);
        }
    }
}

void Channel::process_program_change(Parser&, byte val) { program_number = val; }

void Channel::process_chanpress(Parser&, byte val) { chanpress = val; }

void Channel::process_polypress(Parser&, EventTwoBytes* tb) {
    if (tb->note_number < 128) {
        polypress[tb->note_number] = tb->value;
    }
}

void Channel::process_pitchbend(Parser&, pitchbend_t val) { pitch_bend = val; }

void Channel::process_reset(Parser&) { reset(true); }

int Channel::channel_msg(byte type, byte data1, byte data2) {
    byte msg[3];
    unsigned long len = 0;
    msg[0] = byte((type & 0xF0) | (channel_number & 0xF));
    switch (type & 0xF0) {
    case MIDI::off:
    case MIDI::on:
    case MIDI::polypress:
    case MIDI::controller:
    case MIDI::pitchbend:
        msg[1] = data1 & 0x7F;
        msg[2] = data2 & 0x7F;
        len = 3;
        break;
    case MIDI::program:
    case MIDI::chanpress:
        msg[1] = data1 & 0x7F;
        len = 2;
        break;
    default:
        break;
    }
    return port.midimsg(msg, len);
}

byte decode_controller_name(const char* name) {
    if (!name) {
        return 0;
    }
    // Names from the table decode to their own row: "gpc 1" is controller
    // 16, not 1.
    for (int n = 0; n < 128; n++) {
        if (std::strcmp(name, controller_names[n]) == 0) {
            return byte(n);
        }
    }
    const char* lparen = std::strrchr(name, '(');
    if (lparen) {
        return byte(std::atoi(lparen + 1));
    }
    const char* p = name;
    while (*p && (*p < '0' || *p > '9')) {
        ++p;
    }
    return byte(std::atoi(p));
}

const char* controller_names[128] = {
    "bank (0)",        "mod (1)",         "breath (2)",      "ctrl 3",          "foot (4)",
    "port tm (5)",     "data msb (6)",    "volume (7)",      "balance (8)",     "ctrl 9",
    "pan (10)",        "express (11)",    "ctrl 12",         "ctrl 13",         "ctrl 14",
    "ctrl 15",         "gpc 1",           "gpc 2",           "gpc 3",           "gpc 4",
    "ctrl 20",         "ctrl 21",         "ctrl 22",         "ctrl 23",         "ctrl 24",
    "ctrl 25",         "ctrl 26",         "ctrl 27",         "ctrl 28",         "ctrl 29",
    "ctrl 30",         "ctrl 31",         "lsb 0 (32)",      "lsb 1 (33)",      "lsb 2 (34)",
    "lsb 3 (35)",      "lsb 4 (36)",      "lsb 5 (37)",      "lsb 6 (38)",      "lsb 7 (39)",
    "lsb 8 (40)",      "lsb 9 (41)",      "lsb 10 (42)",     "lsb 11 (43)",     "lsb 12 (44)",
    "lsb 13 (45)",     "lsb 14 (46)",     "lsb 15 (47)",     "lsb 16 (48)",     "lsb 17 (49)",
    "lsb 18 (50)",     "lsb 19 (51)",     "lsb 20 (52)",     "lsb 21 (53)",     "lsb 22 (54)",
    "lsb 23 (55)",     "lsb 24 (56)",     "lsb 25 (57)",     "lsb 26 (58)",     "lsb 27 (59)",
    "lsb 28 (60)",     "lsb 29 (61)",     "lsb 30 (62)",     "lsb 31 (63)",     "sustain (64)",
    "portamento (65)", "sostenuto (66)",  "soft ped (67)",   "ctrl 68",         "hold 2 (69)",
    "ctrl 70",         "ctrl 71",         "ctrl 72",         "ctrl 73",         "ctrl 74",
    "ctrl 75",         "ctrl 76",         "ctrl 77",         "ctrl 78",         "ctrl 79",
    "gpc 5 (80)",      "gpc 6 (81)",      "gpc 7 (82)",      "gpc 8 (83)",      "ctrl 84",
    "ctrl 85",         "ctrl 86",         "ctrl 87",         "ctrl 88",         "ctrl 89",
    "ctrl 90",         "fx dpth (91)",    "tremolo (92)",    "chorus (93)",     "detune (94)",
    "phaser (95)",     "data inc (96)",   "data dec (97)",   "nrpn lsb (98)",   "nrpn msg (99)",
    "rpn lsb (100)",   "rpn msb (101)",   "ctrl 102",        "ctrl 103",        "ctrl 104",
    "ctrl 105",        "ctrl 106",        "ctrl 107",        "ctrl 108",        "ctrl 109",
    "ctrl 110",        "ctrl 111",        "ctrl 112",        "ctrl 113",        "ctrl 114",
    "ctrl 115",        "ctrl 116",        "ctrl 117",        "ctrl 118",        "ctrl 119",
    "snd off (120)",   "rst ctrl (121)",  "local (122)",     "notes off (123)", "omni off (124)",
    "omni on (125)",   "mono on (126)",   "poly on (127)",
};

} // namespace MIDI
