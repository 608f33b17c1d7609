#include <midi++/parser.h>

#include <cstring>

namespace MIDI {

void Parser::reset_mtc_state() {
    // _mtc_forward is the user's choice, not time-code state: it is kept.
    _mtc_running = MTC_Stopped;
    _mtc_locked = false;
    expected_mtc_quarter_frame_code = 0;
    std::memset(_mtc_time, 0, sizeof(_mtc_time));
    std::memset(_qtr_mtc_time, 0, sizeof(_qtr_mtc_time));
    consecutive_qtr_frame_cnt = 0;
    last_qtr_frame = 0;
}

bool Parser::possible_mtc(byte* msg, unsigned long len) {
    // F0 7F <device> 01 01 hr mn sc fr F7
    if (len != 10 || msg[0] != 0xF0 || msg[1] != 0x7F || msg[3] != 0x01 || msg[4] != 0x01) {
        return false;
    }
    const byte time[4] = {msg[8], msg[7], msg[6], byte(msg[5] & 0x1F)};
    _mtc_fps = MTC_FPS((msg[5] & 0x60) >> 5);
    reset_mtc_state();
    // A full frame is a complete time: it is the current one from now on.
    std::memcpy(_mtc_time, time, sizeof(_mtc_time));

    mtc(*this, &msg[1], len - 1);
    mtc_time(_mtc_time, true);
    mtc_status(MTC_Stopped);
    return true;
}

namespace {
int next_piece(int piece, Parser::MTC_Status dir) {
    return dir == Parser::MTC_Forward ? (piece + 1) & 7 : (piece + 7) & 7;
}
} // namespace

void Parser::process_mtc_quarter_frame(byte* msg) {
    const byte d = msg[1];
    const int piece = (d >> 4) & 7;
    const byte nibble = d & 0xF;

    if (_mtc_running != MTC_Stopped) {
        if (piece != expected_mtc_quarter_frame_code) {
            consecutive_qtr_frame_cnt = 0;
            expected_mtc_quarter_frame_code = next_piece(piece, _mtc_running);
            return;
        }
        consecutive_qtr_frame_cnt++;
    } else {
        if (consecutive_qtr_frame_cnt == 0) {
            // Pieces 0 and 7 cannot tell the direction.
            if (piece == 0 || piece == 7) {
                return;
            }
            last_qtr_frame = byte(piece);
            consecutive_qtr_frame_cnt = 1;
            return;
        }
        if (consecutive_qtr_frame_cnt == 1) {
            if (last_qtr_frame < piece) {
                _mtc_running = MTC_Forward;
            } else if (last_qtr_frame > piece) {
                _mtc_running = MTC_Backward;
            }
            mtc_status(_mtc_running);
        }
        if (_mtc_running != MTC_Stopped) {
            expected_mtc_quarter_frame_code = next_piece(piece, _mtc_running);
        }
    }

    // Each piece replaces its own nibble: bits left over from a frame that
    // never completed must not leak into the next one. Even pieces hold the
    // low nibble of frames, seconds, minutes and hours, odd ones the high;
    // the last carries only the top bit of the hours beside the rate.
    byte& field = _qtr_mtc_time[piece >> 1];
    if (piece & 1) {
        const byte high = piece == 7 ? byte(d & 1) : nibble;
        field = byte((field & 0x0F) | (high << 4));
    } else {
        field = byte((field & 0xF0) | nibble);
    }
    if (piece == 7) {
        _mtc_fps = MTC_FPS((d & 0x06) >> 1);
    }

    const int last = _mtc_running == MTC_Forward ? 7 : 0;
    if (_mtc_running == MTC_Stopped) {
        return;
    }
    if (piece != last) {
        expected_mtc_quarter_frame_code = next_piece(piece, _mtc_running);
        return;
    }
    if (consecutive_qtr_frame_cnt >= 8) {
        std::memcpy(_mtc_time, _qtr_mtc_time, sizeof(_mtc_time));
        std::memset(_qtr_mtc_time, 0, sizeof(_qtr_mtc_time));
        _mtc_locked = true;
        mtc_time(_mtc_time, false);
    }
    expected_mtc_quarter_frame_code = last == 7 ? 0 : 7;
}

} // namespace MIDI
