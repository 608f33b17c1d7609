#include "version.h"

namespace Quillomat {

const char* const quillomat_version = "0.1.0";

} // namespace Quillomat
