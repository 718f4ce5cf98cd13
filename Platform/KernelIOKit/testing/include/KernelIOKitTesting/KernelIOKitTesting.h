#pragma once

// Test hooks of the kernel IOKit layer.

#include <cstdint>

namespace KernelIOKitTesting {

// Live objects of the named class and its subclasses; 0 for a class that is not loaded.
int32_t liveObjects(const char* className);

} // namespace KernelIOKitTesting
