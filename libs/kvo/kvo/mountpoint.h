#pragma once

#include <string>

namespace Kvo {

// The mount point holding path; this system keeps everything under "/".
std::string mountpoint(const std::string& path);

} // namespace Kvo
