#pragma once
// Timed MIDI messages from a text file, one message a line:
//
//   <time> <status> [<data1> [<data2>]]    # a comment may follow
//
// <time> is a frame count ("48000") or seconds with a trailing s ("1.5s");
// the bytes are hexadecimal ("B0", "0x07", "7f"), as many as the status
// needs. Blank lines and lines starting with # are skipped. System exclusive
// messages are not supported.
#include <cstdint>
#include <string>
#include <vector>

namespace qmhost {

struct TimedMidi {
    uint64_t frame;
    uint8_t bytes[3];
    uint8_t size;
};

// Messages in time order (equal times keep the file's order), or false with
// "<name>:<line>: <reason>".
bool parse_midi_text(const std::string& text, const std::string& name, double sample_rate,
                     std::vector<TimedMidi>& out, std::string& error);
bool read_midi_file(const std::string& path, double sample_rate, std::vector<TimedMidi>& out, std::string& error);

// Bytes a message with this status has, or 0 when this program cannot send it.
int midi_message_size(uint8_t status);

} // namespace qmhost
