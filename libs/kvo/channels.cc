// The program-wide channels for programs that do not define them. The plug-in
// defines all four in its own source; an archive member is linked only for
// symbols still undefined, so this object then stays out and each program has
// exactly one set. That rests on the library being static; a program that
// defined only some of the four and used the rest would fail to link, not run
// with two of one.
#include <kvo/transmitter.h>

namespace Kvo {
// Built in this order and so destroyed in the reverse one.
Transmitter error(Transmitter::Error);
Transmitter info(Transmitter::Info);
Transmitter fatal(Transmitter::Fatal);
Transmitter warning(Transmitter::Warning);
} // namespace Kvo
