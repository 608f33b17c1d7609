// State files come from anywhere: any bytes must give a property list or a
// one-line reason, never a crash or a leak.
#include <cstddef>
#include <cstdint>

#include "plist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string error;
    CFPropertyListRef p = qmhost::read_plist_memory(reinterpret_cast<const char*>(data), size, error);
    if (p) CFRelease(p);
    else if (error.empty() || error.find('\n') != std::string::npos) __builtin_trap();
    return 0;
}
