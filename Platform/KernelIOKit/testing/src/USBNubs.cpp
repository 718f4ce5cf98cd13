#include "USBHostAccess.h"

#include <KernelIOKitTesting/KernelIOKitTesting.h>

#include <libkern/c++/OSNumber.h>

#include <DescriptorCopies.h>
#include <SimUSB/Bus.h>
#include <USBDriverKit/USBTypes.h>

namespace KernelIOKitTesting {

IOUSBHostDevice* publishUSBDevice(uint8_t port)
{
    std::shared_ptr<SimUSB::HostDevice> bus = SimUSB::Bus::shared().device(port);
    if (!bus) {
        return nullptr;
    }
    IOUSBHostDevice* device = IOUSBHostAccess::createDeviceNub(bus, 0x14000000u | uint32_t(port) << 20);
    if (!device) {
        return nullptr;
    }
    device->registerService();
    OSIterator* children = device->getChildIterator(gIOServicePlane);
    while (OSObject* child = children->getNextObject()) {
        OSDynamicCast(IOService, child)->registerService();
    }
    children->release();
    return device;
}

IOUSBHostInterface* interfaceNub(IOUSBHostDevice* device, uint8_t interfaceNumber)
{
    IOUSBHostInterface* found = nullptr;
    OSIterator* children = device->getChildIterator(gIOServicePlane);
    while (OSObject* child = children->getNextObject()) {
        auto* interface = OSDynamicCast(IOUSBHostInterface, child);
        const auto* number =
            interface ? OSDynamicCast(OSNumber, interface->getProperty("bInterfaceNumber")) : nullptr;
        if (number && number->unsigned8BitValue() == interfaceNumber) {
            found = interface;
        }
    }
    children->release();
    return found;
}

const StandardUSB::ConfigurationDescriptor* copyConfiguration(const uint8_t* bytes, size_t length)
{
    return static_cast<const StandardUSB::ConfigurationDescriptor*>(
        DriverKitPlatform::copyDescriptor(bytes, length));
}

void freeConfiguration(const StandardUSB::ConfigurationDescriptor* configuration)
{
    IOUSBHostFreeDescriptor(configuration);
}

int resetCount(const IOUSBHostDevice* device)
{
    IOUSBHostDeviceCore* core = IOUSBHostAccess::core(device);
    return core ? core->fResets.load() : 0;
}

} // namespace KernelIOKitTesting
