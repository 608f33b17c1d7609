#pragma once
// Names of a path; the separator is '/'.

#include <string>

namespace Kvo {

// Everything after the last '/' (empty when the path ends with one, the
// whole path without one). The C form returns a copy the caller frees with
// free().
char* basename(const char* path);
std::string basename(const std::string& path);
// The base name up to its last '.', or the whole base name without one.
std::string basename_nosuffix(const std::string& path);

} // namespace Kvo
