// System power notifications.

#include "RootDomain.h"

#include <IOKit/pwr_mgt/IOPMLib.h>

using IOKit::findHandle;
using IOKit::HandleTable;
using IOKit::PowerNotifier;
using IOKit::RootDomain;

io_connect_t IORegisterForSystemPower(void* refcon, IONotificationPortRef* thePortRef,
                                      IOServiceInterestCallback callback, io_object_t* notifier)
{
    if (thePortRef == nullptr || callback == nullptr || notifier == nullptr) {
        return 0;
    }
    return RootDomain::shared().registerForSystemPower(refcon, callback, thePortRef, notifier);
}

IOReturn IODeregisterForSystemPower(io_object_t* notifier)
{
    if (notifier == nullptr) {
        return kIOReturnBadArgument;
    }
    auto found = findHandle<PowerNotifier>(*notifier);
    if (!found) {
        return kIOReturnBadArgument;
    }
    if (IOReturn fault = RootDomain::shared().takeDeregistrationFault(*notifier); fault != kIOReturnSuccess) {
        return fault;
    }
    RootDomain::shared().deregister(*found->fRegistration);
    return HandleTable::shared().release(*notifier);
}

IOReturn IOAllowPowerChange(io_connect_t kernelPort, intptr_t notificationID)
{
    return RootDomain::shared().allowPowerChange(kernelPort, notificationID);
}
