#pragma once

#include <cstddef>

namespace XPCTesting {

// The values, dictionaries and arrays of the process that are alive now. Connections, which end
// asynchronously, and the error singletons are not counted.
size_t liveValueCount();

} // namespace XPCTesting
