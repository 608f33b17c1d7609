#pragma once
// Property lists in the XML form Audio Unit preset files use: dict, key,
// array, string, data (base64), integer and real.
#include <CoreFoundation/CoreFoundation.h>

#include <cstddef>
#include <string>

namespace qmhost {

// Saved as the files named in requests are (Kvo::FileSave): an existing file
// is replaced only by a complete one, or written in place where it must keep
// its links and owner. False with a one-line reason on failure.
bool write_plist_file(CFPropertyListRef plist, const std::string& path, std::string& error);

// The property list in the file (the caller releases it), or null with a
// one-line reason; only a regular file is read.
CFPropertyListRef read_plist_file(const std::string& path, std::string& error);
CFPropertyListRef read_plist_memory(const char* text, size_t size, std::string& error);

} // namespace qmhost
