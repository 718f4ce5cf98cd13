#include "RegistryAccess.h"
#include "ServiceAccess.h"
#include "UserClientSeam.h"

#include <KernelIOKitTesting/KernelIOKitTesting.h>

namespace KernelIOKitTesting {

std::shared_ptr<IOKitPlatform::RegistryEntry> registryEntry(const IORegistryEntry* entry)
{
    return IORegistryEntryAccess::platformEntry(entry);
}

PowerRecord powerRecord(const IOService* service)
{
    const IOServicePowerRecord record = IOServiceAccess::power(service);
    return {record.fPMInitialised, record.fPowerParent, record.fPowerDriver, record.fStates};
}

UInt32 maxBusStall(const IOService* service)
{
    return IOServiceAccess::maxBusStall(service);
}

void closeConnection(IOUserClient* client)
{
    KernelIOKitPlatform::closeConnection(client);
}

UInt32 maxInterruptDelay(const IOService* service)
{
    return IOServiceAccess::maxInterruptDelay(service);
}

} // namespace KernelIOKitTesting
