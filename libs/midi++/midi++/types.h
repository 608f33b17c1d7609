#pragma once
// The MIDI vocabulary shared by the parser, the ports and their listeners.

namespace MIDI {

typedef unsigned char byte;
typedef float controller_value_t;
typedef unsigned short pitchbend_t;

// Message kinds, valued by their status byte with the channel bits clear.
enum eventType {
    none = 0x0,
    raw = 0xF4,
    any = 0xF5,
    off = 0x80,
    on = 0x90,
    controller = 0xB0,
    program = 0xC0,
    chanpress = 0xD0,
    polypress = 0xA0,
    pitchbend = 0xE0,
    sysex = 0xF0,
    mtc_quarter = 0xF1,
    position = 0xF2,
    song = 0xF3,
    tune = 0xF6,
    eox = 0xF7,
    timing = 0xF8,
    start = 0xFA,
    contineu = 0xFB, // spelled so throughout: "continue" is taken
    stop = 0xFC,
    active = 0xFE,
    reset = 0xFF
};

// The two data bytes of a note, poly-pressure or controller message, laid
// over the parser's message buffer.
struct EventTwoBytes {
    union {
        byte note_number;
        byte controller_number;
    };
    union {
        byte velocity;
        byte value;
    };
};

enum MTC_FPS { MTC_24_FPS = 0, MTC_25_FPS = 1, MTC_30_FPS = 2, MTC_30_FPS_DROP = 3 };

} // namespace MIDI
