#include "midi_file.h"

#include <kvo/file_guard.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <sstream>

namespace qmhost {

int midi_message_size(uint8_t status)
{
    if (status < 0x80) return 0;
    if (status < 0xC0 || (status >= 0xE0 && status < 0xF0)) return 3;
    if (status < 0xE0) return 2;
    switch (status) {
    case 0xF1:
    case 0xF3: return 2;
    case 0xF2: return 3;
    case 0xF6:
    case 0xF8:
    case 0xFA:
    case 0xFB:
    case 0xFC:
    case 0xFE:
    case 0xFF: return 1;
    default: return 0;  // system exclusive and the undefined ones
    }
}

namespace {

bool parse_time(const std::string& word, double rate, uint64_t& frame)
{
    const char* b = word.data();
    const char* e = b + word.size();
    if (!word.empty() && word.back() == 's') {
        double seconds = 0;
        auto r = std::from_chars(b, e - 1, seconds);
        if (r.ec != std::errc() || r.ptr != e - 1 || !(seconds >= 0) || seconds > 1e7) return false;
        frame = (uint64_t)std::llround(seconds * rate);
        return true;
    }
    auto r = std::from_chars(b, e, frame);
    return r.ec == std::errc() && r.ptr == e && !word.empty();
}

bool parse_byte(std::string word, uint8_t& byte)
{
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) word = word.substr(2);
    if (word.empty() || word.size() > 2) return false;
    unsigned v = 0;
    auto r = std::from_chars(word.data(), word.data() + word.size(), v, 16);
    if (r.ec != std::errc() || r.ptr != word.data() + word.size()) return false;
    byte = (uint8_t)v;
    return true;
}

} // namespace

bool parse_midi_text(const std::string& text, const std::string& name, double sample_rate,
                     std::vector<TimedMidi>& out, std::string& error)
{
    std::istringstream in(text);
    std::string line;
    int number = 0;
    std::vector<TimedMidi> messages;
    while (std::getline(in, line)) {
        ++number;
        auto fail = [&](const std::string& why) {
            error = name + ":" + std::to_string(number) + ": " + why;
            return false;
        };
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::string time;
        if (!(words >> time)) continue;
        TimedMidi m = {};
        if (!parse_time(time, sample_rate, m.frame))
            return fail("bad time \"" + time + "\" (a frame count, or seconds ending in s)");
        std::string word;
        int want = 1;
        while (words >> word) {
            uint8_t byte;
            if (!parse_byte(word, byte)) return fail("bad byte \"" + word + "\" (two hexadecimal digits)");
            if (m.size == 0) {
                if (byte < 0x80) return fail("the message must start with a status byte (80 to FF)");
                want = midi_message_size(byte);
                if (want == 0) return fail("status " + word + " is not supported");
            } else if (byte >= 0x80) {
                return fail("data byte " + word + " is above 7F");
            }
            if (m.size == want) return fail("too many bytes for this status");
            m.bytes[m.size++] = byte;
        }
        if (m.size == 0) return fail("a time without a message");
        if (m.size != want) return fail("too few bytes for this status");
        messages.push_back(m);
    }
    std::stable_sort(messages.begin(), messages.end(),
                     [](const TimedMidi& a, const TimedMidi& b) { return a.frame < b.frame; });
    out.swap(messages);
    return true;
}

bool read_midi_file(const std::string& path, double sample_rate, std::vector<TimedMidi>& out, std::string& error)
{
    std::string text, why;
    if (!Kvo::read_regular_file(path, std::numeric_limits<size_t>::max(), text, &why)) {
        error = "cannot read MIDI file " + path + ": " + why;
        return false;
    }
    return parse_midi_text(text, path, sample_rate, out, error);
}

} // namespace qmhost
