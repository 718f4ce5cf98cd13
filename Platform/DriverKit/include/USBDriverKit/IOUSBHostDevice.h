#pragma once

#include <DriverKit/IOMemoryDescriptor.h>
#include <DriverKit/IOService.h>
#include <USBDriverKit/USBTypes.h>

#include <memory>

class IOUSBHostInterface;

namespace SimUSB {
class HostDevice;
}

// The nub of a device on the bus. Descriptors come back as the device gave them.
class IOUSBHostDevice : public IOService
{
public:
    const IOUSBDeviceDescriptor* CopyDeviceDescriptor();
    // The configuration at `index`, or the current one.
    const IOUSBConfigurationDescriptor* CopyConfigurationDescriptor(uint8_t index);
    const IOUSBConfigurationDescriptor* CopyConfigurationDescriptor();
    // A GET_DESCRIPTOR on the bus each time; language 0 means the device's first language.
    const IOUSBStringDescriptor* CopyStringDescriptor(uint8_t index, uint16_t languageID);

    // Selecting the current configuration again keeps its interface nubs.
    kern_return_t SetConfiguration(uint8_t bConfigurationValue, bool matchInterfaces);

    kern_return_t CreateInterfaceIterator(uintptr_t* iterationRef);
    kern_return_t CopyInterface(uintptr_t iterationRef, IOUSBHostInterface** interface);
    kern_return_t DestroyInterfaceIterator(uintptr_t iterationRef);

    kern_return_t DeviceRequest(uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                                uint16_t wLength, IOMemoryDescriptor* dataBuffer, uint16_t* bytesTransferred,
                                uint32_t completionTimeoutMs);

    // Platform.
    const std::shared_ptr<SimUSB::HostDevice>& platformDevice() const { return fDevice; }
    void platformAttach(std::shared_ptr<SimUSB::HostDevice> device) { fDevice = std::move(device); }

private:
    std::shared_ptr<SimUSB::HostDevice> fDevice;
};
