// Session texts from the host's saved state and from files: any bytes load or
// are refused without a crash, a refused one changes nothing, and whatever
// loads saves and loads again to the same text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine.h"
#include "memory_driver.h"

namespace {

// A low rate keeps the loop memory a session may ask for small.
qmtest::MemoryDriver driver(100, 16);

Quillomat::Engine& engine()
{
    static Quillomat::Engine* e = [] {
        auto* en = new Quillomat::Engine();
        en->initialize(&driver, 2, 47000, "");
        return en;
    }();
    return *e;
}

// The audio side lets go of removed loops, which are then deleted.
void settle(Quillomat::Engine& e)
{
    for (int k = 0; k < 20; ++k) {
        e.process(16);
        e.delete_released_loops();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Quillomat::Engine& e = engine();
    std::string before;
    e.save_session("", &before);

    const std::string text(reinterpret_cast<const char*>(data), size);
    if (!e.load_session("fuzz", &text)) {
        std::string after;
        e.save_session("", &after);
        if (after != before) {
            __builtin_trap();
        }
        return 0;
    }
    settle(e);
    std::string saved, again;
    e.save_session("", &saved);
    if (!e.load_session("saved", &saved)) {
        __builtin_trap();
    }
    settle(e);
    e.save_session("", &again);
    if (again != saved) {
        __builtin_trap();
    }
    return 0;
}
