#include "KextContractHooks.h"

#include "com_vork_driver_tide_control_interface.h"
#include "com_vork_driver_tide_userClient.h"

namespace KextContractHooks {

namespace {

template <typename Action>
void withControlService(Action action)
{
    OSDictionary* matching = IOService::serviceMatching("com_vork_driver_tide_control_interface");
    OSIterator* services = IOService::getMatchingServices(matching);
    if (auto* control = OSDynamicCast(com_vork_driver_tide_control_interface, services->getNextObject())) {
        action(control);
    }
    services->release();
    matching->release();
}

} // namespace

void notifyAudioClient(uint32_t type, const void* data, uint32_t length)
{
    withControlService([&](com_vork_driver_tide_control_interface* control) {
        IOWorkLoop* workLoop = control->getWorkLoop();
        workLoop->closeGate();
        control->NotifyUserClient(com_vork_driver_tide_userClient::kAudioClientType, type, data, length);
        workLoop->openGate();
    });
}

void stopControlService()
{
    withControlService(
        [](com_vork_driver_tide_control_interface* control) { control->stop(control->getProvider()); });
}

} // namespace KextContractHooks
