#pragma once

#include <cstdio>

namespace Pellix {

// The debug log target's stream, or null.
FILE* GetDebugLogStream();

} // namespace Pellix
