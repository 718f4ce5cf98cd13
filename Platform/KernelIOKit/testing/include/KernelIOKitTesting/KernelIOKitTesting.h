#pragma once

// Test hooks of the kernel IOKit layer.

#include <IOKit/IOService.h>

#include <IOKit/platform/Registry.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace KernelIOKitTesting {

// Live objects of the named class and its subclasses; 0 for a class that is not loaded.
int32_t liveObjects(const char* className);

// The registry entry user space sees for a kernel entry.
std::shared_ptr<IOKitPlatform::RegistryEntry> registryEntry(const IORegistryEntry* entry);

// What a service gave power management: PMinit, its power parent, the driver and states it
// registered.
struct PowerRecord
{
    bool fPMInitialised = false;
    IOService* fPowerParent = nullptr;
    IOService* fPowerDriver = nullptr;
    std::vector<IOPMPowerState> fStates;
};
PowerRecord powerRecord(const IOService* service);

// The demands of requireMaxBusStall and requireMaxInterruptDelay; 0 when none.
UInt32 maxBusStall(const IOService* service);
UInt32 maxInterruptDelay(const IOService* service);

} // namespace KernelIOKitTesting
