#include "midi_bind.h"

#include <kvo/file_guard.h>
#include <midi++/types.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <istream>
#include <locale>
#include <ostream>
#include <sstream>
#include <type_traits>

#include "command_map.h"

namespace Quillomat {

namespace {

struct TypeWord {
    const char* word;
    int code;
    const char* param;  // what the first data byte is, for messages
};

const TypeWord kTypes[] = {
    {"cc", MIDI::controller, "controller"},
    {"n", MIDI::on, "note"},
    {"pc", MIDI::program, "program"},
};

const TypeWord* find_type(const std::string& word)
{
    for (const TypeWord& t : kTypes) {
        if (word == t.word) {
            return &t;
        }
    }
    return nullptr;
}

bool is_action(const std::string& word)
{
    static const char* const actions[] = {"set", "note", "susnote", "down", "up", "upforce", "hit"};
    for (const char* a : actions) {
        if (word == a) {
            return true;
        }
    }
    return false;
}

bool is_command_name(const std::string& name)
{
    return CommandMap::instance().is_command(name);
}

bool is_control_name(const std::string& name)
{
    return CommandMap::instance().to_control_t(name) != Event::Unknown;
}

// Diagnostics are whole lines written at once, so lines from two threads never
// interleave mid-line.
void report(const std::string& text)
{
    std::string line = text + "\n";
    fputs(line.c_str(), stderr);
}

// Words are split on the C locale's blanks, whatever locale the host set.
std::vector<std::string> split_words(const std::string& line)
{
    std::istringstream in(line);
    in.imbue(std::locale::classic());
    std::vector<std::string> words;
    std::string word;
    while (in >> word) {
        words.push_back(word);
    }
    return words;
}

// Locale-independent, whole word only; a single leading '+' is allowed as the
// C library's scanner allows it.
template <class T>
bool parse_number(const std::string& word, T& out)
{
    const char* first = word.data();
    const char* last = first + word.size();
    if (first != last && *first == '+') {
        ++first;
        if (first != last && *first == '-') {
            return false;
        }
    }
    T value{};
    std::from_chars_result r;
    if constexpr (std::is_floating_point<T>::value) {
        r = std::from_chars(first, last, value, std::chars_format::general);
    } else {
        r = std::from_chars(first, last, value);
    }
    if (first == last || r.ec != std::errc() || r.ptr != last) {
        return false;
    }
    out = value;
    return true;
}

std::string quoted(const std::string& word) { return "'" + word + "'"; }

// A bindings file is a few kilobytes; these keep a wrong or hostile one
// from taking the memory.
const size_t MaxFileBytes = 1 << 20;
const size_t MaxFileLines = 10000;
const size_t MaxLineLength = 4096;

// Why the text is too big to be a bindings file; empty when it is not.
std::string size_problem(const std::string& text)
{
    size_t lines = 0;
    for (size_t start = 0; start < text.size(); ++lines) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end;
        if (end - start > MaxLineLength) {
            return "line " + std::to_string(lines + 1) + " is longer than " + std::to_string(MaxLineLength) +
                   " characters";
        }
        if (lines == MaxFileLines) {
            return "more than " + std::to_string(MaxFileLines) + " lines";
        }
        start = end + 1;
    }
    return std::string();
}

// %.9g: enough digits for a float to come back bit for bit.
std::string float_text(float v)
{
    char buf[32];
    std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 9);
    return std::string(buf, r.ptr);
}

// What is wrong with the record's fields, each taken alone; empty when nothing.
std::string field_problem(const MidiBindInfo& b)
{
    if (b.channel < 0 || b.channel > 15) {
        return "channel " + std::to_string(b.channel) + " is outside 0..15";
    }
    const TypeWord* t = find_type(b.type);
    if (!t) {
        return "unknown message type " + quoted(b.type) + " (cc, n or pc)";
    }
    if (b.param < 0 || b.param > 127) {
        return std::string(t->param) + " " + std::to_string(b.param) + " is outside 0..127";
    }
    if (!is_action(b.command)) {
        return "unknown action " + quoted(b.command) +
               " (set, note, susnote, down, up, upforce or hit)";
    }
    if (!is_command_name(b.control) && !is_control_name(b.control)) {
        return "unknown command or control " + quoted(b.control);
    }
    if (b.instance < -2 || b.instance > 127) {
        return "loop " + std::to_string(b.instance) + " is outside -2..127";
    }
    if (!std::isfinite(b.lbound) || !std::isfinite(b.ubound)) {
        return "bounds must be finite numbers";
    }
    return std::string();
}

} // namespace

bool MidiBindInfo::operator==(const MidiBindInfo& o) const
{
    return channel == o.channel && type == o.type && command == o.command &&
           control == o.control && param == o.param && instance == o.instance;
}

std::string MidiBindInfo::serialize() const
{
    std::string s;
    s.reserve(80);
    s += std::to_string(channel);
    s += ' ';
    s += type;
    s += ' ';
    s += std::to_string(param);
    s += "  ";
    s += command;
    s += ' ';
    s += control;
    s += ' ';
    s += std::to_string(instance);
    s += "  ";
    s += float_text(lbound);
    s += ' ';
    s += float_text(ubound);
    s += "  ";
    if (style == GainStyle) {
        s += "gain";
    }
    return s;
}

bool MidiBindInfo::unserialize(const std::string& line)
{
    if (line.empty()) {
        return false;
    }
    const std::vector<std::string> words = split_words(line);
    auto refuse = [&line](const std::string& why) {
        report("invalid midi binding: " + why + ": " + line);
        return false;
    };

    MidiBindInfo b;
    // How many of the leading fields have the right form, counted as far as
    // the first that has not; below five the line is too short to mean anything.
    const size_t n = words.size();
    int fields = 0;
    if (n > 0 && parse_number(words[0], b.channel)) {
        fields = 1;
    }
    if (fields == 1 && n > 1) {
        b.type = words[1];
        fields = 2;
    }
    if (fields == 2 && n > 2 && parse_number(words[2], b.param)) {
        fields = 3;
    }
    if (fields == 3 && n > 3) {
        b.command = words[3];
        fields = 4;
    }
    if (fields == 4 && n > 4) {
        b.control = words[4];
        fields = 5;
    }
    if (fields < 5) {
        report("ret: " + std::to_string(n == 0 ? -1 : fields) + " invalid input line: " + line);
        return false;
    }
    if (n > 5 && !parse_number(words[5], b.instance)) {
        return refuse("loop " + quoted(words[5]) + " is not a whole number");
    }
    if (n > 6 && !parse_number(words[6], b.lbound)) {
        return refuse("lower bound " + quoted(words[6]) + " is not a number");
    }
    if (n > 7 && !parse_number(words[7], b.ubound)) {
        return refuse("upper bound " + quoted(words[7]) + " is not a number");
    }
    if (n > 8 && words[8][0] == 'g') {
        b.style = GainStyle;
    }
    if (n > 9) {
        return refuse("unexpected " + quoted(words[9]) + " after the style");
    }
    const std::string why = field_problem(b);
    if (!why.empty()) {
        return refuse(why);
    }
    *this = b;
    return true;
}

std::string MidiBindInfo::problem() const
{
    std::string why = field_problem(*this);
    if (!why.empty()) {
        return why;
    }
    if (command == "set") {
        if (!is_control_name(control)) {
            return "'set' needs a control, " + quoted(control) + " is a command";
        }
    } else if (!is_command_name(control)) {
        return quoted(command) + " needs a command, " + quoted(control) + " is a control";
    }
    return std::string();
}

MidiBindings::MidiBindings() {}

int MidiBindings::binding_key(const MidiBindInfo& info) const
{
    const TypeWord* t = find_type(info.type);
    if (!t) {
        report("invalid midi type str: " + info.type);
        return 0;
    }
    return ((t->code + info.channel) << 8) | info.param;
}

bool MidiBindings::add_binding(const MidiBindInfo& info, bool exclusive)
{
    const std::string why = info.problem();
    if (!why.empty()) {
        report("invalid midi binding: " + why + ": " + info.serialize());
        return false;
    }
    // problem() has refused an unknown type word, so the key is never 0.
    BindingList& list = _bindings[binding_key(info)];
    if (exclusive) {
        list.clear();
    }
    list.push_back(info);
    return true;
}

bool MidiBindings::remove_binding(const MidiBindInfo& info)
{
    const int key = binding_key(info);
    if (key == 0) {
        return false;
    }
    auto it = _bindings.find(key);
    if (it == _bindings.end()) {
        return false;
    }
    BindingList& list = it->second;
    for (auto b = list.begin(); b != list.end(); ++b) {
        if (*b == info) {
            list.erase(b);
            break;
        }
    }
    if (list.empty()) {
        _bindings.erase(it);
    }
    return true;
}

void MidiBindings::clear_bindings() { _bindings.clear(); }

void MidiBindings::get_bindings(BindingList& out) const
{
    for (const auto& kv : _bindings) {
        out.insert(out.end(), kv.second.begin(), kv.second.end());
    }
}

bool MidiBindings::get_channel_and_type(unsigned char status, int& channel, std::string& type) const
{
    channel = status & 0x0F;
    const int code = status & 0xF0;
    for (const TypeWord& t : kTypes) {
        if (t.code == code) {
            type = t.word;
            return true;
        }
    }
    return false;
}

bool MidiBindings::load_bindings(const std::string& path, bool append)
{
    // Read and measured whole first: a file that fails or is refused leaves
    // the table as it was.
    std::string text;
    if (!Kvo::read_regular_file(path, MaxFileBytes, text)) {
        report("quillomat warning: could not open for reading: " + path);
        return false;
    }
    const std::string why = size_problem(text);
    if (!why.empty()) {
        report("quillomat warning: not loading " + path + ": " + why);
        return false;
    }
    std::istringstream in(text);
    return load_bindings(in, append);
}

bool MidiBindings::load_bindings(std::istream& in, bool append)
{
    if (!append) {
        clear_bindings();
    }
    // No fixed line buffer: however long a line is, reading moves on to the
    // next one and ends at end of file.
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        MidiBindInfo info;
        if (info.unserialize(line)) {
            add_binding(info, false);
        }
    }
    return !in.bad();
}

bool MidiBindings::save_bindings(const std::string& path) const
{
    std::ostringstream text;
    save_bindings(text);
    const std::string bytes = text.str();
    Kvo::FileSave out(path);
    if (!out.ok()) {
        report("error: could not open for writing: " + path);
        return false;
    }
    if (!out.write(bytes.data(), bytes.size()) || !out.commit()) {
        report("error: could not write: " + path);
        return false;
    }
    return true;
}

bool MidiBindings::save_bindings(std::ostream& out) const
{
    for (const auto& kv : _bindings) {
        for (const MidiBindInfo& b : kv.second) {
            out << b.serialize() << std::endl;
        }
    }
    return out.good();
}

} // namespace Quillomat
