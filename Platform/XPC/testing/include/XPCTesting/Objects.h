#pragma once

#include <cstddef>

namespace XPCTesting {

// The XPC objects of the process that are alive now (the error singletons excepted).
size_t liveObjectCount();

} // namespace XPCTesting
