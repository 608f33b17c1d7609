#include <midi++/mmc.h>
#include <midi++/parser.h>

#include <kvo/transmitter.h>

#include <cstring>

namespace MIDI {

Parser::Parser(Port& p)
    : _port(p), trace_stream(nullptr), state(NEEDSTATUS), msgbuf(256), msgindex(0), msgtype(none),
      runnable(false), _mmc_forward(false), _mtc_forward(false), _mtc_fps(MTC_30_FPS) {
    std::memset(message_counter, 0, sizeof(message_counter));
    reset_mtc_state();
    // Primed as if a note-on had been seen; data bytes before the first
    // real status byte are still dropped, as the state says so.
    msgbuf[0] = 0x90;
    msgindex = 1;
    channel_msg(0x90);
    state = NEEDSTATUS;
}

Parser::~Parser() { trace_connection.disconnect(); }

const char* Parser::midi_event_type_name(eventType t) {
    static const struct {
        eventType type;
        const char* name;
    } names[] = {
        {none, "no midi messages"},
        {raw, "raw midi data"},
        {MIDI::any, "any midi message"},
        {off, "note off"},
        {on, "note on"},
        {polypress, "aftertouch"},
        {MIDI::controller, "controller"},
        {program, "program change"},
        {chanpress, "channel pressure"},
        {MIDI::pitchbend, "pitch bend"},
        {MIDI::sysex, "system exclusive"},
        {MIDI::song, "song position"},
        {MIDI::tune, "tune"},
        {MIDI::eox, "end of sysex"},
        {MIDI::timing, "timing"},
        {MIDI::start, "start"},
        {MIDI::contineu, "continue"},
        {MIDI::stop, "stop"},
        {active, "active sense"},
    };
    for (const auto& n : names) {
        if (n.type == t) {
            return n.name;
        }
    }
    return "unknow MIDI event type";
}

void Parser::trace(bool onoff, std::ostream* o, const std::string& prefix) {
    trace_connection.disconnect();
    if (onoff) {
        trace_stream = o;
        trace_prefix = prefix;
        trace_connection = any.connect(SigC::slot(*this, &Parser::trace_event));
    } else {
        trace_prefix = "";
        trace_stream = nullptr;
    }
}

void Parser::trace_event(Parser&, byte* msg, unsigned long len) {
    if (!trace_stream) {
        return;
    }
    std::ostream& o = *trace_stream;
    o << trace_prefix;
    if (len == 0 || msg[0] < 0x80) {
        o << "Unrecognized MIDI message" << endmsg;
        return;
    }
    const int ch = (msg[0] & 0xF) + 1;
    const int d1 = len > 1 ? msg[1] : 0;
    const int d2 = len > 2 ? msg[2] : 0;
    switch (msg[0] & 0xF0) {
    case off:
        o << "Channel " << ch << " NoteOff NoteNum " << d1 << " Vel " << d2 << endmsg;
        return;
    case on:
        o << "Channel " << ch << " NoteOn NoteNum " << d1 << " Vel " << d2 << endmsg;
        return;
    case polypress:
        o << "Channel " << ch << " PolyPressure" << d1 << endmsg;
        return;
    case MIDI::controller:
        o << "Channel " << ch << " Controller " << d1 << " Value " << d2 << endmsg;
        return;
    case program:
        o << "Channel " << ch << " Program Change ProgNum " << d1 << endmsg;
        return;
    case chanpress:
        o << "Channel " << ch << " Channel Pressure " << d1 << endmsg;
        return;
    case MIDI::pitchbend:
        o << "Channel " << ch << " Pitch Bend " << (d1 + 128 * d2) << endmsg;
        return;
    default:
        break;
    }
    if (len == 1) {
        switch (msg[0]) {
        case 0xF8:
            o << "Clock";
            break;
        case 0xFA:
            o << "Start";
            break;
        case 0xFB:
            o << "Continue";
            break;
        case 0xFC:
            o << "Stop";
            break;
        case 0xFE:
            o << "Active Sense";
            break;
        case 0xF6:
            o << "Tune Request";
            break;
        case 0xFF:
            o << "System Reset";
            break;
        default:
            o << "System Exclusive (1 byte : " << std::hex << int(msg[0]) << std::dec << ")";
            break;
        }
        o << endmsg;
        return;
    }
    o << "System Exclusive (" << len << ") = [ " << std::hex;
    for (unsigned long i = 0; i < len; ++i) {
        o << int(msg[i]) << ' ';
    }
    o << std::dec << "]" << endmsg;
}

void Parser::append(byte b) {
    if (msgindex >= msgbuf.size()) {
        msgbuf.resize(msgbuf.size() * 2);
    }
    msgbuf[msgindex++] = b;
}

void Parser::scanner(byte b) {
    // Active sensing may come anywhere, even inside a system-exclusive
    // message, and must disturb nothing.
    if (b == 0xFE) {
        message_counter[0xFE]++;
        active_sense(*this);
        return;
    }

    switch (b) {
    case 0xF8:
    case 0xFA:
    case 0xFB:
    case 0xFC:
    case 0xFD:
    case 0xFF:
        if (edit(&b, 1) >= 0) {
            realtime_msg(b);
        }
        return;
    default:
        break;
    }

    const bool status = b & 0x80;

    if (state == VARIABLELENGTH && status) {
        if (b == 0xF7) {
            append(b);
        }
        end_sysex();
        state = NEEDSTATUS;
    }

    if (status) {
        msgindex = 0;
        if (b == 0xF7) {
            state = NEEDSTATUS;
            runnable = false;
            return;
        }
        append(b);
        if (b >= 0xF0) {
            system_msg(b);
            runnable = false;
        } else {
            channel_msg(b);
        }
        return;
    }

    switch (state) {
    case NEEDSTATUS:
        // A data byte that belongs to no message: nothing could ever
        // announce it, so it is not kept.
        break;
    case VARIABLELENGTH:
        if (msgindex >= max_sysex_size) {
            msgindex = 0;
            state = NEEDSTATUS;
            break;
        }
        append(b);
        break;
    case NEEDONEBYTE:
        append(b);
        complete();
        break;
    case NEEDTWOBYTES:
        append(b);
        if (msgindex == 3) {
            complete();
        }
        break;
    }
}

void Parser::realtime_msg(byte b) {
    message_counter[b]++;
    switch (b) {
    case 0xF8:
        timing(*this);
        break;
    case 0xFA:
        start(*this);
        break;
    case 0xFB:
        contineu(*this);
        break;
    case 0xFC:
        stop(*this);
        break;
    case 0xFF:
        reset(*this);
        break;
    default:
        break;
    }
    any(*this, &b, 1);
}

void Parser::channel_msg(byte status) {
    runnable = true;
    msgtype = eventType(status & 0xF0);
    switch (msgtype) {
    case program:
    case chanpress:
        state = NEEDONEBYTE;
        break;
    default:
        state = NEEDTWOBYTES;
        break;
    }
}

void Parser::system_msg(byte status) {
    message_counter[status]++;
    switch (status) {
    case 0xF0:
        msgtype = MIDI::sysex;
        state = VARIABLELENGTH;
        break;
    case 0xF1:
        msgtype = mtc_quarter;
        state = NEEDONEBYTE;
        break;
    case 0xF2:
        msgtype = MIDI::position;
        state = NEEDTWOBYTES;
        break;
    case 0xF3:
        msgtype = MIDI::song;
        state = NEEDONEBYTE;
        break;
    case 0xF6:
        // Complete in its status byte.
        msgtype = MIDI::tune;
        runnable = false;
        complete();
        break;
    default:
        state = NEEDSTATUS;
        break;
    }
}

void Parser::end_sysex() {
    if (msgindex == 0 || edit(msgbuf.data(), msgindex) < 0) {
        return;
    }
    byte* msg = msgbuf.data();
    bool pass = true;
    if (MachineControl::is_mmc(msg, msgindex)) {
        mmc(*this, msg + 1, msgindex - 1);
        pass = _mmc_forward;
    } else if (possible_mtc(msg, msgindex)) {
        pass = _mtc_forward;
    }
    if (pass) {
        sysex(*this, msg, msgindex);
    }
    any(*this, msg, msgindex);
}

void Parser::complete() {
    byte* msg = msgbuf.data();
    if (edit(msg, msgindex) == 0) {
        // System messages were counted under their own status already.
        if (msg[0] < 0xF0) {
            message_counter[msg[0] & 0xF0]++;
        }
        signal(msg, msgindex);
    }
    if (runnable) {
        msgindex = 1;
    } else {
        state = NEEDSTATUS;
    }
}

namespace {
// A channel message on its all-channel signal and on its channel's own,
// framed by that channel's pre- and post-parse.
template <class Signal, class Arg>
void announce(Parser& p, int ch, Signal& all, Signal* per_channel, Arg arg) {
    p.channel_active_preparse[ch](p);
    all(p, arg);
    per_channel[ch](p, arg);
    p.channel_active_postparse[ch](p);
}
} // namespace

void Parser::signal(byte* msg, unsigned long len) {
    const int ch = msg[0] & 0xF;
    EventTwoBytes* two = reinterpret_cast<EventTwoBytes*>(msg + 1);

    switch (msgtype) {
    case off:
        announce(*this, ch, note_off, channel_note_off, two);
        break;
    case on:
        if (msg[2] != 0) {
            announce(*this, ch, note_on, channel_note_on, two);
        } else {
            announce(*this, ch, note_off, channel_note_off, two);
        }
        break;
    case polypress:
        announce(*this, ch, poly_pressure, channel_poly_pressure, two);
        break;
    case MIDI::controller:
        announce(*this, ch, controller, channel_controller, two);
        break;
    case program:
        announce(*this, ch, program_change, channel_program_change, msg[1]);
        break;
    case chanpress:
        announce(*this, ch, pressure, channel_pressure, msg[1]);
        break;
    case MIDI::pitchbend:
        announce(*this, ch, pitchbend, channel_pitchbend, pitchbend_t(msg[1] + 128 * msg[2]));
        break;
    case MIDI::sysex:
        sysex(*this, msg, len);
        break;
    case mtc_quarter:
        process_mtc_quarter_frame(msg);
        mtc_quarter_frame(*this, msg[1]);
        break;
    case MIDI::position:
        position(*this, msg, len);
        break;
    case MIDI::song:
        song(*this, msg, len);
        break;
    case MIDI::tune:
        // Not on any: listeners there (learners above all) take what comes
        // as a message to act on, and a tune request carries nothing to act
        // on. The trace still shows it.
        tune(*this);
        trace_event(*this, msg, len);
        return;
    default:
        break;
    }
    any(*this, msg, len);
}

} // namespace MIDI
