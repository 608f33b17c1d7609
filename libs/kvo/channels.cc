// The program-wide channels for programs that do not define them: a program
// that does (the plug-in, in its own source) never pulls this object out of
// the library, so each program has exactly one set.
#include <kvo/transmitter.h>

namespace Kvo {
// Built in this order and so destroyed in the reverse one.
Transmitter error(Transmitter::Error);
Transmitter info(Transmitter::Info);
Transmitter fatal(Transmitter::Fatal);
Transmitter warning(Transmitter::Warning);
} // namespace Kvo
