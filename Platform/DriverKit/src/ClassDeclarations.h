#pragma once

#include <DriverKit/platform/Drivers.h>

#include <vector>

namespace DriverKitPlatform {

// The classes declared so far by the driver code in the process, in the order declared.
std::vector<DriverClass> declaredClasses();

} // namespace DriverKitPlatform
