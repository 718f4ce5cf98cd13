#include <DriverKitTesting/DriverKitTesting.h>

#include "Creation.h"
#include "DescriptorCopies.h"
#include "DriverRegistry.h"
#include "FrameReadObserver.h"
#include "ServiceState.h"
#include "USBFailures.h"

#include <IOKit/IOMessage.h>
#include <IOKitTesting/RootDomain.h>

namespace DriverKitTesting {

void failNextCreations(uint32_t count)
{
    DriverKitPlatform::failNextCreations(count);
}

void failNextCalls(const OSObject* object, USBCall call, uint32_t count, IOReturn status)
{
    DriverKitPlatform::failNextCalls(object, call, count, status);
}

void observeFrameReads(FrameReadObserver observer, void* context)
{
    DriverKitPlatform::setFrameReadObserver(observer, context);
}

void sleepSystem()
{
    IOKitTesting::systemWillSleep();
    DriverKitPlatform::setPowerStateEverywhere(0);
}

void wakeSystem()
{
    DriverKitPlatform::setPowerStateEverywhere(2);
    IOKitTesting::deliverPowerMessage(kIOMessageSystemHasPoweredOn);
}

uint64_t requiredMaxBusStall(IOService* service)
{
    DriverKitPlatform::ServiceState& state = service->platformState();
    std::lock_guard lock(state.lock);
    return state.maxBusStall;
}

uint32_t powerState(IOService* service)
{
    DriverKitPlatform::ServiceState& state = service->platformState();
    std::lock_guard lock(state.lock);
    return state.powerState;
}

const IOUSBConfigurationDescriptor* copyConfiguration(const uint8_t* bytes, size_t length)
{
    return static_cast<const IOUSBConfigurationDescriptor*>(DriverKitPlatform::copyDescriptor(bytes, length));
}

} // namespace DriverKitTesting
