#include "UserSpacePower.h"

#include "ToyEvents.h"

#include <DriverKitTesting/DriverKitTesting.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/IOMessage.h>
#include <IOKit/pwr_mgt/IOPMLib.h>
#include <dispatch/dispatch.h>

namespace KernelIOKitTestSupport {

void sleepSystem()
{
    DriverKitTesting::sleepSystem();
}

void wakeSystem()
{
    DriverKitTesting::wakeSystem();
}

struct UserSpacePower::State
{
    static void callback(void* refCon, io_service_t, uint32_t messageType, void* argument)
    {
        auto* state = static_cast<State*>(refCon);
        if (messageType == kIOMessageSystemWillSleep) {
            recordToyEvent("user space will sleep");
            IOAllowPowerChange(state->fConnection, reinterpret_cast<intptr_t>(argument));
        } else if (messageType == kIOMessageSystemHasPoweredOn) {
            recordToyEvent("user space powered on");
        }
    }

    dispatch_queue_t fQueue = dispatch_queue_create("user-space power", DISPATCH_QUEUE_SERIAL);
    IONotificationPortRef fPort = nullptr;
    io_object_t fNotifier = 0;
    io_connect_t fConnection = 0;
};

UserSpacePower::UserSpacePower() : fState(std::make_unique<State>())
{
    fState->fConnection =
        IORegisterForSystemPower(fState.get(), &fState->fPort, &State::callback, &fState->fNotifier);
    IONotificationPortSetDispatchQueue(fState->fPort, fState->fQueue);
}

UserSpacePower::~UserSpacePower()
{
    IODeregisterForSystemPower(&fState->fNotifier);
    IONotificationPortDestroy(fState->fPort);
    IOServiceClose(fState->fConnection);
    dispatch_sync(fState->fQueue, [] {});
    dispatch_release(fState->fQueue);
}

} // namespace KernelIOKitTestSupport
