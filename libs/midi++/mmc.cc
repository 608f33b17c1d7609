#include <midi++/mmc.h>
#include <midi++/parser.h>
#include <midi++/port.h>

#include <kvo/transmitter.h>

#include <cstring>

namespace MIDI {

using Kvo::error;
using Kvo::warning;

std::map<int, std::string> MachineControl::mmc_cmd_map;

void MachineControl::build_mmc_cmd_map() {
    static const std::pair<int, const char*> rows[] = {
        {0x01, "Stop"},
        {0x02, "Play"},
        {0x03, "DeferredPlay"},
        {0x04, "FastForward"},
        {0x05, "Rewind"},
        {0x06, "RecordStrobe"},
        {0x07, "RecordExit"},
        {0x08, "RecordPause"},
        {0x09, "Pause"},
        {0x0A, "Eject"},
        {0x0B, "Chase"},
        {0x0C, "CommandErrorReset"},
        {0x0D, "MmcReset"},
        {0x20, "Illegal Mackie Jog Start"},
        {0x21, "Illegal Mackie Jog Stop"},
        {0x40, "Write"},
        {0x41, "MaskedWrite"},
        {0x42, "Read"},
        {0x43, "Update"},
        {0x44, "Locate"},
        {0x45, "VariablePlay"},
        {0x46, "Search"},
        {0x47, "Shuttle"},
        {0x48, "Step"},
        {0x49, "AssignSystemMaster"},
        {0x4A, "GeneratorCommand"},
        {0x4B, "MtcCommand"},
        {0x4C, "Move"},
        {0x4D, "Add"},
        {0x4E, "Subtract"},
        {0x4F, "DropFrameAdjust"},
        {0x50, "Procedure"},
        {0x51, "Event"},
        {0x52, "Group"},
        {0x53, "CommandSegment"},
        {0x54, "DeferredVariablePlay"},
        {0x55, "RecordStrobeVariable"},
        {0x7C, "Wait"},
        {0x7F, "Resume"},
    };
    for (const auto& r : rows) {
        mmc_cmd_map[r.first] = r.second;
    }
}

MachineControl::MachineControl(Port& p, float, CommandSignature&, ResponseSignature&) : _device_id(1), _port(&p) {
    build_mmc_cmd_map();
    std::memset(trackRecordStatus, 0, sizeof(trackRecordStatus));
    std::memset(trackRecordReady, 0, sizeof(trackRecordReady));
    if (Parser* in = _port->input()) {
        in->mmc.connect(SigC::slot(*this, &MachineControl::process_mmc_message));
    } else {
        warning << "MMC connected to a non-input port: useless!" << endmsg;
    }
}

bool MachineControl::is_mmc(byte* msg, unsigned long len) {
    return len >= 4 && len <= 48 && msg[1] == 0x7F && (msg[3] == 0x06 || msg[3] == 0x07);
}

void MachineControl::process_mmc_message(Parser&, byte* msg, unsigned long len) {
    if (len < 4) {
        return;
    }
    if (msg[1] != 0x7F && msg[1] != _device_id) {
        return;
    }
    // Only the bytes before a closing 0xF7 belong to commands; a message
    // cut short by another status byte has none.
    const unsigned long end = msg[len - 1] == 0xF7 ? len - 1 : len;

    static MMCSignal MachineControl::*const simple[] = {
        nullptr,
        &MachineControl::Stop,
        &MachineControl::Play,
        &MachineControl::DeferredPlay,
        &MachineControl::FastForward,
        &MachineControl::Rewind,
        &MachineControl::RecordStrobe,
        &MachineControl::RecordExit,
        &MachineControl::RecordPause,
        &MachineControl::Pause,
        &MachineControl::Eject,
        &MachineControl::Chase,
        &MachineControl::CommandErrorReset,
        &MachineControl::MmcReset,
    };

    unsigned long pos = 3;
    while (pos < end) {
        const byte c = msg[pos];
        if ((c >= 0x01 && c <= 0x0D) || c == 0x20 || c == 0x21) {
            MMCSignal& s = c == 0x20 ? JogStart : c == 0x21 ? JogStop : this->*simple[c];
            s(*this);
            pos += 1;
            continue;
        }

        // Every other command carries a count of the data bytes after it.
        if (end - pos < 2) {
            return;
        }
        const unsigned long n = msg[pos + 1];
        if (end - pos - 2 < n) {
            // The count runs past the message: decode nothing of it.
            return;
        }
        const byte* data = msg + pos + 2;
        switch (c) {
        case 0x41:
            do_masked_write(data, n);
            break;
        case 0x44:
            do_locate(data, n);
            break;
        case 0x47:
            do_shuttle(data, n);
            break;
        case 0x48:
            do_step(data, n);
            break;
        default:
            // A command in the table is one this decoder does not carry out.
            error << "MIDI::MachineControl: " << (mmc_cmd_map.count(c) ? "unimplemented" : "unknown")
                  << " MMC command " << std::hex << int(c) << std::dec << endmsg;
            break;
        }
        pos += n + 2;
    }
}

void MachineControl::do_masked_write(const byte* data, unsigned long n) {
    if (n < 1) {
        return;
    }
    if (data[0] == 0x4F) {
        if (n >= 4) {
            write_track_record_ready(data + 1);
        }
    } else {
        warning << "MIDI::MachineControl: masked write to " << std::hex << int(data[0]) << std::dec
                << " not implemented" << endmsg;
    }
}

void MachineControl::write_track_record_ready(const byte* data) {
    // data: byte number, mask, bits. Byte 0 and bytes past the last track
    // address tracks this object does not keep; those bits are passed over.
    const long base = long(data[0]) * 7 - 5;
    const byte mask = data[1];
    const byte bits = data[2];
    for (int i = 0; i < 7; i++) {
        if (!(mask & (1 << i))) {
            continue;
        }
        const long t = base + i;
        if (t < 0 || t >= ntracks) {
            continue;
        }
        const bool on = bits & (1 << i);
        trackRecordStatus[t] = on;
        TrackRecordStatusChange(*this, (unsigned long)t, on);
    }
}

void MachineControl::do_locate(const byte* data, unsigned long n) {
    if (n < 1) {
        return;
    }
    if (data[0] == 0) {
        warning << "MIDI::MMC: locate [I/F] command not supported" << endmsg;
        return;
    }
    if (n >= 6) {
        Locate(*this, data + 1);
    }
}

void MachineControl::do_step(const byte* data, unsigned long n) {
    if (n < 1) {
        return;
    }
    int steps = data[0] & 0x3F;
    if (data[0] & 0x40) {
        steps = -steps;
    }
    Step(*this, steps);
}

void MachineControl::do_shuttle(const byte* data, unsigned long n) {
    if (n < 3) {
        return;
    }
    const byte sh = data[0];
    const byte sm = data[1];
    const byte sl = data[2];
    const bool forward = !(sh & 0x40);
    const int shift = (sh >> 3) & 7;
    // Seventeen bits (three of sh, then sm and sl) with the binary point
    // shift places below the top three.
    const unsigned long bits = ((unsigned long)(sh & 7) << 14) | ((unsigned long)sm << 7) | sl;
    const float speed = float(bits) / float(1UL << (14 - shift));
    Shuttle(*this, speed, forward);
}

} // namespace MIDI
