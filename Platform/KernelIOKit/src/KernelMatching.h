#pragma once

// Kernel personalities as candidates in the matching of the USB nubs the bus publishes, ranked
// with the driver extensions' by probe score; the kernel services below a device that leaves; and
// system power changes reaching the kernel services.

#include <IOKit/IOService.h>
#include <libkern/c++/OSDictionary.h>

#include <vector>

namespace KernelIOKitPlatform {

// Adds personalities (each retained; "IOClass" names a loaded class) and matches the nubs that
// have no driver yet.
void addPersonalities(const std::vector<OSDictionary*>& personalities);

// setPowerState(ordinal) on the service's power driver, on the layer's power thread.
void setPowerState(IOService* service, unsigned long ordinal);

} // namespace KernelIOKitPlatform
