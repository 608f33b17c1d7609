#pragma once
// The directory part of a path; the separator is '/'.

#include <string>

namespace Kvo {

// Everything before the last '/', the whole path without one, and an empty
// string when the path ends with '/'. A copy the caller frees with free().
char* dirname(const char* path);
// Everything before the last '/' (so "a/b" for "a/b/"), the whole path
// without one.
std::string dirname(const std::string& path);

} // namespace Kvo
