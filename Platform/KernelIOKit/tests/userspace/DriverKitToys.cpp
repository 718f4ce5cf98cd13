#include "DriverKitToys.h"

#include "ToyEvents.h"

#include <DriverKit/IOService.h>
#include <DriverKit/OSNumber.h>
#include <DriverKit/OSString.h>
#include <DriverKit/platform/Drivers.h>

#include <string>

namespace KernelIOKitTestSupport {

namespace {

class DriverKitToy : public IOService
{
public:
    kern_return_t Start(IOService* provider) override
    {
        recordToyEvent("start DriverKitToy");
        return IOService::Start(provider);
    }
    kern_return_t SetPowerState(uint32_t powerFlags) override
    {
        recordToyEvent("power DriverKitToy " + std::to_string(powerFlags));
        return IOService::SetPowerState(powerFlags);
    }
};

void setNumber(OSDictionary* dictionary, const char* key, uint64_t value)
{
    OSSharedPtr<OSNumber> number(OSNumber::withNumber(value, 32), OSNoRetain);
    dictionary->setObject(key, number.get());
}

void setString(OSDictionary* dictionary, const char* key, const char* value)
{
    OSSharedPtr<OSString> string(OSString::withCString(value), OSNoRetain);
    dictionary->setObject(key, string.get());
}

} // namespace

void registerDriverKitToy(uint16_t vendor, uint16_t product, uint32_t score)
{
    OSSharedPtr<OSDictionary> personality(OSDictionary::withCapacity(6), OSNoRetain);
    setString(personality.get(), "IOProviderClass", "IOUSBHostInterface");
    setString(personality.get(), "IOUserClass", "KernelIOKitDriverKitToy");
    setNumber(personality.get(), "IOProbeScore", score);
    setNumber(personality.get(), "idVendor", vendor);
    setNumber(personality.get(), "idProduct", product);
    setNumber(personality.get(), "bInterfaceNumber", 0);
    DriverKitPlatform::registerDriver(
        {{"KernelIOKitDriverKitToy", "IOService", []() -> OSObject* { return new DriverKitToy; }}},
        {personality.get()});
}

} // namespace KernelIOKitTestSupport
