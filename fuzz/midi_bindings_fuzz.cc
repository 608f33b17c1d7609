// Bindings text from files, saved state and OSC: any bytes must load without
// a crash, and whatever is kept must write out and read back unchanged.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "midi_bind.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Quillomat::MidiBindings table;
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    table.load_bindings(in, false);

    std::ostringstream out;
    table.save_bindings(out);
    Quillomat::MidiBindings back;
    std::istringstream again(out.str());
    back.load_bindings(again, false);
    std::ostringstream out2;
    back.save_bindings(out2);
    if (out.str() != out2.str()) {
        __builtin_trap();
    }

    Quillomat::MidiBindings::BindingList a, b;
    table.get_bindings(a);
    back.get_bindings(b);
    if (a.size() != b.size()) {
        __builtin_trap();
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] || a[i].lbound != b[i].lbound || a[i].ubound != b[i].ubound ||
            a[i].style != b[i].style || !a[i].problem().empty()) {
            __builtin_trap();
        }
    }
    return 0;
}
