#pragma once
// What the effect and its editor view agree on.

enum {
    // Parameter 0, global: the engine's OSC port (read only).
    kQuillomatOSCPortParameter = 0,
    // Property, any scope: the GUI application's path, a NUL-terminated C string.
    kQuillomatAppPathProperty = 80000
};
