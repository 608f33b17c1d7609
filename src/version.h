#pragma once
// The program's version, as it appears in saved sessions and ping answers.

namespace Quillomat {

extern const char* const quillomat_version;

} // namespace Quillomat
