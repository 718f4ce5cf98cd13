#include "Failures.h"
#include "FrameReadHook.h"
#include "RegistryAccess.h"
#include "ServiceAccess.h"
#include "USBHostAccess.h"
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

void failNextCreations(uint32_t count)
{
    KernelIOKitPlatform::failNextCreations(count);
}

void failNextCalls(const void* object, Call call, uint32_t count, IOReturn status)
{
    const void* target = object;
    if (object && (call == Call::DeviceRequest || call == Call::GetFrameNumber)) {
        target = IOUSBHostAccess::core(static_cast<const IOUSBHostDevice*>(object));
    }
    KernelIOKitPlatform::failNextCalls(target, KernelIOKitPlatform::FailingCall(int(call)), count, status);
}

void clearFailures()
{
    KernelIOKitPlatform::clearFailures();
}

void setFrameReadHook(std::function<void(uint64_t frame, uint64_t time)> afterRead)
{
    KernelIOKitPlatform::setFrameReadHook(std::move(afterRead));
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
