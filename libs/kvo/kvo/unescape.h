#pragma once

namespace Kvo {

// Expands C-style backslash escapes of s in place and ends the shorter
// text with a NUL. A backslash at the very end stays as it is.
void unescape(char* s);

} // namespace Kvo
