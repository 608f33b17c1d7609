// MIDI text files: any bytes give messages the plug-in accepts, or a reason.
#include <cstddef>
#include <cstdint>

#include "midi_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<qmhost::TimedMidi> messages;
    std::string error;
    std::string text(reinterpret_cast<const char*>(data), size);
    if (!qmhost::parse_midi_text(text, "fuzz", 48000, messages, error)) return 0;
    for (size_t i = 0; i < messages.size(); ++i) {
        const qmhost::TimedMidi& m = messages[i];
        if (m.bytes[0] < 0x80 || m.size != qmhost::midi_message_size(m.bytes[0])) __builtin_trap();
        for (int b = 1; b < m.size; ++b)
            if (m.bytes[b] > 0x7F) __builtin_trap();
        if (i && messages[i - 1].frame > m.frame) __builtin_trap();
    }
    return 0;
}
