#pragma once
// MIDI bindings: what one kind of incoming MIDI message does to the engine,
// the keyed table of them, and their one-binding-a-line text.
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

namespace Quillomat {

class MidiBindInfo {
public:
    enum Style {
        NormalStyle = 0,  // linear between the bounds
        GainStyle = 1     // linear, then the fader-to-gain curve
    };

    // Every numeric field starts at the value the text format leaves out, so a
    // record that is only partly filled in never carries garbage.
    MidiBindInfo() {}

    // One line of the text, without newline.
    std::string serialize() const;

    // Parses one line. A line that does not describe a usable binding (too few
    // fields, an unknown word, a number out of range) is refused with one line
    // on standard error saying why; the record is then left as it was.
    bool unserialize(const std::string& line);

    // Empty when the record can go into a table; otherwise why it cannot.
    // Stricter than unserialize: the action word must suit the name ("set"
    // takes a control, every other action a command).
    std::string problem() const;

    // Bounds and style are settings of a binding, not part of its identity.
    bool operator==(const MidiBindInfo& other) const;
    bool operator!=(const MidiBindInfo& other) const { return !(*this == other); }

    int channel = 0;          // 0..15
    std::string type;         // "cc", "n" or "pc"
    std::string command;      // "set", "note", "susnote", "down", "up", "upforce", "hit"
    std::string control;      // a command or control name of the command map
    int param = 0;            // controller, note or program number, 0..127
    int instance = -1;        // loop index; -1 all loops, -2 the global controls
    float lbound = 0.0f;      // value for data byte 0
    float ubound = 1.0f;      // value for data byte 127
    Style style = NormalStyle;
};

class MidiBindings {
public:
    typedef std::vector<MidiBindInfo> BindingList;
    typedef std::map<int, BindingList> BindingsMap;

    MidiBindings();
    virtual ~MidiBindings() {}

    // ((type code + channel) << 8) | param, which is (status << 8) | data1 of
    // the messages the binding answers. 0 for an unknown type word.
    int binding_key(const MidiBindInfo& info) const;

    // Appends under the binding's key; exclusive first empties that key. A
    // record that problem() refuses is not added (message on standard error).
    bool add_binding(const MidiBindInfo& info, bool exclusive = false);
    // Erases the first binding of the key that is == info. False only when the
    // key is unknown or holds nothing.
    bool remove_binding(const MidiBindInfo& info);
    void clear_bindings();

    // Appends every binding, keys ascending, each key's bindings in the order
    // they were added.
    void get_bindings(BindingList& out) const;

    // The channel always; the type word (and true) for note, controller and
    // program change status bytes only.
    bool get_channel_and_type(unsigned char status, int& channel, std::string& type) const;

    BindingsMap& bindings_map() { return _bindings; }
    const BindingsMap& bindings_map() const { return _bindings; }

    // Without append the table is emptied before the first line is read. Bad
    // lines are reported and skipped; every other line is kept.
    bool load_bindings(const std::string& path, bool append = false);
    bool load_bindings(std::istream& in, bool append = false);
    // False when the file cannot be opened or the text cannot be written out.
    bool save_bindings(const std::string& path) const;
    bool save_bindings(std::ostream& out) const;

private:
    BindingsMap _bindings;
};

} // namespace Quillomat
