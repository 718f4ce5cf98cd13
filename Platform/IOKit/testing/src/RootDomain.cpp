#include <IOKitTesting/RootDomain.h>

#include "RootDomain.h"

#include <IOKit/pwr_mgt/IOPMLib.h>

namespace IOKitTesting {

using IOKit::RootDomain;

intptr_t deliverPowerMessage(uint32_t messageType)
{
    return RootDomain::shared().deliver(messageType);
}

bool systemWillSleep()
{
    return RootDomain::shared().sleep();
}

FailedPowerDeregistration::FailedPowerDeregistration(IOReturn result)
{
    RootDomain::shared().failNextDeregistration(result);
}

FailedPowerDeregistration::~FailedPowerDeregistration()
{
    if (io_object_t kept = RootDomain::shared().endDeregistrationFault(); kept != 0) {
        IODeregisterForSystemPower(&kept);
    }
}

std::vector<PowerAcknowledgement> powerAcknowledgements()
{
    std::vector<PowerAcknowledgement> acknowledgements;
    for (const auto& acknowledgement : RootDomain::shared().acknowledgements()) {
        acknowledgements.push_back({acknowledgement.fConnection, acknowledgement.fNotificationID});
    }
    return acknowledgements;
}

} // namespace IOKitTesting
