#include "ScriptedControl.h"

#include <DriverKit/OSNumber.h>
#include <DriverKit/OSString.h>
#include <DriverKit/platform/Drivers.h>
#include <DriverKitTesting/DriverKitTesting.h>

namespace DextTesting {

namespace {

void registerScriptedControl()
{
    static const bool registered = [] {
        OSSharedPtr<OSDictionary> personality(OSDictionary::withCapacity(8), OSNoRetain);
        auto setString = [&](OSDictionary* dictionary, const char* key, const char* value) {
            OSSharedPtr<OSString> string(OSString::withCString(value), OSNoRetain);
            dictionary->setObject(key, string.get());
        };
        auto setNumber = [&](const char* key, uint64_t value) {
            OSSharedPtr<OSNumber> number(OSNumber::withNumber(value, 32), OSNoRetain);
            personality->setObject(key, number.get());
        };
        setString(personality.get(), "IOProviderClass", "IOUSBHostInterface");
        setString(personality.get(), "IOUserClass", "ScriptedControl");
        setNumber("IOProbeScore", 1000);
        setNumber("idVendor", kScriptedVendor);
        setNumber("bInterfaceClass", 1);
        setNumber("bInterfaceSubClass", 1);
        OSSharedPtr<OSDictionary> client(OSDictionary::withCapacity(1), OSNoRetain);
        setString(client.get(), "IOUserClass", "com_vork_driver_tide_userClient");
        personality->setObject("UserClientProperties", client.get());
        DriverKitPlatform::registerDriver({{"ScriptedControl", "com_vork_driver_tide_control_interface",
                                            []() -> OSObject* { return new ScriptedControl; }}},
                                          {personality.get()});
        return true;
    }();
    (void)registered;
}

} // namespace

void ScriptedControl::prepare(const Script& script)
{
    registerScriptedControl();
    sScript = script;
    sProvider.store(nullptr);
    sStarted.store(false);
    sStartResult.store(0);
    sStopped.store(false);
}

kern_return_t ScriptedControl::Start(IOService* provider)
{
    const kern_return_t result = com_vork_driver_tide_control_interface::Start(provider);
    sStartResult.store(result);
    sStarted.store(true);
    return result;
}

kern_return_t ScriptedControl::Stop(IOService* provider)
{
    sProvider.store(nullptr);
    sStopped.store(true);
    return com_vork_driver_tide_control_interface::Stop(provider);
}

com_vork_driver_tide_provider* ScriptedControl::CreateProvider(IOUSBHostInterface* interface)
{
    if (sScript.creation == Creation::Fails) {
        return nullptr;
    }
    auto* provider = com_vork_driver_tide_control_interface::CreateProvider(interface);
    sProvider.store(static_cast<com_vork_driver_tide_usb_provider*>(provider));
    if (sScript.creation == Creation::ThenObjectsFail) {
        DriverKitTesting::failNextCreations(sScript.failingCreations);
    }
    return provider;
}

} // namespace DextTesting
