#pragma once

#include <DriverKit/IOMemoryDescriptor.h>
#include <DriverKit/IOService.h>
#include <USBDriverKit/USBTypes.h>

#include <memory>
#include <mutex>

class IOUSBHostDevice;
class IOUSBHostPipe;

namespace SimUSB {
class HostDevice;
}

// The nub of one interface of the current configuration. One client opens it at a time; opening
// selects its alternates and gives its pipes.
class IOUSBHostInterface : public IOService
{
public:
    kern_return_t Open(IOService* forClient, IOOptionBits options, uintptr_t arg);
    kern_return_t Close(IOService* forClient, IOOptionBits options);

    kern_return_t CopyDevice(IOUSBHostDevice** device);
    const IOUSBConfigurationDescriptor* CopyConfigurationDescriptor();
    // This interface's descriptor at its current alternate, inside `configuration`.
    const IOUSBInterfaceDescriptor* GetInterfaceDescriptor(const IOUSBConfigurationDescriptor* configuration);

    // SET_INTERFACE on the bus; the pipes of the previous alternate stop working.
    kern_return_t SelectAlternateSetting(uint8_t bAlternateSetting);
    // A pipe of the current alternate.
    kern_return_t CopyPipe(uint8_t address, IOUSBHostPipe** pipe);

    kern_return_t GetFrameNumber(uint64_t* frameNumber, uint64_t* time);

    kern_return_t DeviceRequest(uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                                uint16_t wLength, IOMemoryDescriptor* dataBuffer, uint16_t* bytesTransferred,
                                uint32_t completionTimeoutMs);

    void free() override;

    // Platform.
    void platformAttach(IOUSBHostDevice* device, uint8_t interfaceNumber);
    uint8_t platformInterfaceNumber() const { return fNumber; }
    uint64_t platformGeneration();
    const std::shared_ptr<SimUSB::HostDevice>& platformDeviceHandle() const;

private:
    std::mutex fLock;
    IOUSBHostDevice* fDevice = nullptr;
    uint8_t fNumber = 0;
    IOService* fOpenFor = nullptr;
    uint64_t fGeneration = 0;
};
