#include "USBHost.h"

#include "DriverRegistry.h"
#include "ServiceState.h"

#include <DriverKit/OSNumber.h>
#include <DriverKit/platform/Drivers.h>
#include <USBDriverKit/IOUSBHostInterface.h>

#include <IOKit/platform/Registry.h>
#include <IOKit/platform/USBConfiguration.h>
#include <SimUSB/Bus.h>

#include <algorithm>
#include <map>
#include <mutex>

namespace DriverKitPlatform {

namespace {

uint32_t locationOf(uint8_t port)
{
    return 0x01000000u | uint32_t(port) << 20;
}

void setNumber(OSDictionary* properties, const char* key, uint64_t value)
{
    OSSharedPtr<OSNumber> number(OSNumber::withNumber(value, 32), OSNoRetain);
    properties->setObject(key, number.get());
}

uint16_t word(const std::vector<uint8_t>& bytes, size_t at)
{
    return uint16_t(bytes[at] | bytes[at + 1] << 8);
}

class USBHost : public SimUSB::HostListener
{
public:
    void deviceArrived(const std::shared_ptr<SimUSB::HostDevice>& device) override
    {
        const std::vector<uint8_t>& descriptor = device->deviceDescriptor();
        OSSharedPtr<OSDictionary> properties(OSDictionary::withCapacity(4), OSNoRetain);
        if (!properties) {
            return;
        }
        setNumber(properties.get(), "idVendor", word(descriptor, 8));
        setNumber(properties.get(), "idProduct", word(descriptor, 10));
        setNumber(properties.get(), "bcdDevice", word(descriptor, 12));
        setNumber(properties.get(), "locationID", locationOf(device->port()));
        IOService* created = instantiate("IOUSBHostDevice", nullptr, properties.get());
        auto* nub = OSDynamicCast(IOUSBHostDevice, created);
        if (nub == nullptr) {
            OSSafeReleaseNULL(created);
            return;
        }
        nub->platformAttach(device);
        {
            std::lock_guard lock(fLock);
            fNubs[device.get()] = nub;
        }
        addRoot(nub);
        nub->platformState().entry->registerService();
        match(nub);
        publishInterfaces(nub, device->configurationValue(), true, false);
    }

    // A configuration set from user space, through the nub as a driver would set it.
    IOReturn setConfiguration(const std::shared_ptr<SimUSB::HostDevice>& device, uint8_t value)
    {
        IOUSBHostDevice* nub = nullptr;
        {
            std::lock_guard lock(fLock);
            auto found = fNubs.find(device.get());
            if (found == fNubs.end()) {
                return kIOReturnNoDevice;
            }
            nub = found->second;
            nub->retain();
        }
        const IOReturn result = nub->SetConfiguration(value, true);
        nub->release();
        return result;
    }

    void deviceLeft(const std::shared_ptr<SimUSB::HostDevice>& device) override
    {
        IOUSBHostDevice* nub = nullptr;
        {
            std::lock_guard lock(fLock);
            auto found = fNubs.find(device.get());
            if (found == fNubs.end()) {
                return;
            }
            nub = found->second;
            fNubs.erase(found);
        }
        deviceTerminating(nub);
        terminate(nub);
        removeRoot(nub);
        nub->release();
    }

private:
    std::mutex fLock;
    std::map<const SimUSB::HostDevice*, IOUSBHostDevice*> fNubs;
};

} // namespace

void publishInterfaces(IOUSBHostDevice* device, uint8_t value, bool matchNow, bool later)
{
    const std::vector<uint8_t>& bytes = device->platformDevice()->configurationDescriptor();
    if (value == 0 || bytes.size() < 9 || bytes[5] != value) {
        return;
    }
    OSDictionary* copied = nullptr;
    device->CopyProperties(&copied);
    OSSharedPtr<OSDictionary> deviceProperties(copied, OSNoRetain);
    const size_t total = std::min<size_t>(bytes.size(), word(bytes, 2));
    std::vector<IOUSBHostInterface*> published;
    for (size_t at = 0; at + 2 <= total && bytes[at] >= 2 && at + bytes[at] <= total; at += bytes[at]) {
        if (bytes[at + 1] != kIOUSBDescriptorTypeInterface || bytes[at] < 9 || bytes[at + 3] != 0) {
            continue;
        }
        OSSharedPtr<OSDictionary> properties(OSDictionary::withCapacity(10), OSNoRetain);
        if (!properties) {
            break;
        }
        setNumber(properties.get(), "bInterfaceNumber", bytes[at + 2]);
        setNumber(properties.get(), "bAlternateSetting", 0);
        setNumber(properties.get(), "bInterfaceClass", bytes[at + 5]);
        setNumber(properties.get(), "bInterfaceSubClass", bytes[at + 6]);
        setNumber(properties.get(), "bInterfaceProtocol", bytes[at + 7]);
        setNumber(properties.get(), "bConfigurationValue", value);
        for (const char* key : {"idVendor", "idProduct", "locationID"}) {
            if (deviceProperties && deviceProperties->getObject(key) != nullptr) {
                properties->setObject(key, deviceProperties->getObject(key));
            }
        }
        IOService* created = instantiate("IOUSBHostInterface", device, properties.get());
        auto* nub = OSDynamicCast(IOUSBHostInterface, created);
        if (nub == nullptr) {
            OSSafeReleaseNULL(created);
            continue;
        }
        nub->platformAttach(device, bytes[at + 2]);
        nub->platformState().entry->registerService();
        published.push_back(nub);
    }
    // Every interface exists before any driver starts, as a driver may look for its siblings.
    for (IOUSBHostInterface* nub : published) {
        if (matchNow && later) {
            matchLater(nub);
        } else if (matchNow) {
            match(nub);
        }
        nub->release();
    }
}

IOReturn usbStatus(uint32_t busStatus)
{
    // The bus reports the codes USBDriverKit uses.
    return IOReturn(busStatus);
}

void startUSB()
{
    static std::once_flag once;
    std::call_once(once, [] {
        IOKitPlatform::registerClassAlias("IOUSBDevice", "IOUSBHostDevice");
        static USBHost* host = new USBHost;
        SimUSB::Bus::shared().addListener(host);
        IOKitPlatform::setUSBConfigurationSetter(
            [](const std::shared_ptr<SimUSB::HostDevice>& device, uint8_t value) {
                return host->setConfiguration(device, value);
            });
    });
}

} // namespace DriverKitPlatform
