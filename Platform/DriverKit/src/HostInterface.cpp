#include "DescriptorCopies.h"
#include "FrameReadObserver.h"
#include "USBFailures.h"
#include "USBHost.h"

#include <USBDriverKit/IOUSBHostDevice.h>
#include <USBDriverKit/IOUSBHostInterface.h>
#include <USBDriverKit/IOUSBHostPipe.h>

#include <SimUSB/HostDevice.h>

namespace {

constexpr uint32_t kSetInterfaceTimeoutMs = 5000;

} // namespace

void IOUSBHostInterface::platformAttach(IOUSBHostDevice* device, uint8_t interfaceNumber)
{
    device->retain();
    fDevice = device;
    fNumber = interfaceNumber;
}

const std::shared_ptr<SimUSB::HostDevice>& IOUSBHostInterface::platformDeviceHandle() const
{
    return fDevice->platformDevice();
}

uint64_t IOUSBHostInterface::platformGeneration()
{
    std::lock_guard lock(fLock);
    return fGeneration;
}

void IOUSBHostInterface::free()
{
    OSSafeReleaseNULL(fDevice);
    IOService::free();
}

kern_return_t IOUSBHostInterface::Open(IOService* forClient, IOOptionBits, uintptr_t)
{
    if (forClient == nullptr) {
        return kIOReturnBadArgument;
    }
    std::lock_guard lock(fLock);
    if (fOpenFor != nullptr && fOpenFor != forClient) {
        return kIOReturnExclusiveAccess;
    }
    fOpenFor = forClient;
    return kIOReturnSuccess;
}

kern_return_t IOUSBHostInterface::Close(IOService* forClient, IOOptionBits)
{
    {
        std::lock_guard lock(fLock);
        if (forClient == nullptr || fOpenFor != forClient) {
            return kIOReturnNotOpen;
        }
        fOpenFor = nullptr;
        ++fGeneration;
    }
    // Closing ends what is in flight on the interface's endpoints.
    const auto& device = fDevice->platformDevice();
    for (uint8_t address :
         {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F}) {
        for (uint8_t direction : {0x00, 0x80}) {
            const auto endpoint = device->endpoint(uint8_t(address | direction));
            if (endpoint && endpoint->interface == fNumber) {
                device->abort(endpoint->address, SimUSB::kAborted);
            }
        }
    }
    return kIOReturnSuccess;
}

kern_return_t IOUSBHostInterface::CopyDevice(IOUSBHostDevice** device)
{
    if (device == nullptr) {
        return kIOReturnBadArgument;
    }
    fDevice->retain();
    *device = fDevice;
    return kIOReturnSuccess;
}

const IOUSBConfigurationDescriptor* IOUSBHostInterface::CopyConfigurationDescriptor()
{
    return fDevice->CopyConfigurationDescriptor();
}

const IOUSBInterfaceDescriptor*
IOUSBHostInterface::GetInterfaceDescriptor(const IOUSBConfigurationDescriptor* configuration)
{
    const uint8_t alternate = fDevice->platformDevice()->alternateSetting(fNumber);
    const IOUSBInterfaceDescriptor* interface = nullptr;
    while ((interface = IOUSBGetNextInterfaceDescriptor(
                configuration, reinterpret_cast<const IOUSBDescriptorHeader*>(interface))) != nullptr) {
        if (interface->bInterfaceNumber == fNumber && interface->bAlternateSetting == alternate) {
            return interface;
        }
    }
    return nullptr;
}

kern_return_t IOUSBHostInterface::SelectAlternateSetting(uint8_t bAlternateSetting)
{
    {
        std::lock_guard lock(fLock);
        if (fOpenFor == nullptr) {
            return kIOReturnNotOpen;
        }
    }
    const SimUSB::ControlResult result = fDevice->platformDevice()->control(
        {0x01, SimUSB::Request::kSetInterface, bAlternateSetting, fNumber, 0}, nullptr,
        kSetInterfaceTimeoutMs);
    if (result.status != SimUSB::kSuccess) {
        return DriverKitPlatform::usbStatus(result.status);
    }
    std::lock_guard lock(fLock);
    ++fGeneration;
    return kIOReturnSuccess;
}

kern_return_t IOUSBHostInterface::CopyPipe(uint8_t address, IOUSBHostPipe** pipe)
{
    if (pipe == nullptr) {
        return kIOReturnBadArgument;
    }
    uint64_t generation;
    {
        std::lock_guard lock(fLock);
        if (fOpenFor == nullptr) {
            return kIOReturnNotOpen;
        }
        generation = fGeneration;
    }
    const auto endpoint = fDevice->platformDevice()->endpoint(address);
    if (!endpoint || endpoint->interface != fNumber) {
        return kIOReturnNotFound;
    }
    const IOUSBConfigurationDescriptor* configuration = CopyConfigurationDescriptor();
    if (configuration == nullptr) {
        return kIOReturnNotFound;
    }
    kern_return_t status = kIOReturnNotFound;
    if (const IOUSBInterfaceDescriptor* interface = GetInterfaceDescriptor(configuration)) {
        const IOUSBEndpointDescriptor* found = nullptr;
        while ((found = IOUSBGetNextEndpointDescriptor(
                    configuration, interface, reinterpret_cast<const IOUSBDescriptorHeader*>(found)))) {
            if (found->bEndpointAddress == address) {
                *pipe = IOUSBHostPipe::make(this, generation, *found);
                status = kIOReturnSuccess;
                break;
            }
        }
    }
    IOUSBHostFreeDescriptor(configuration);
    return status;
}

kern_return_t IOUSBHostInterface::GetFrameNumber(uint64_t* frameNumber, uint64_t* time)
{
    if (IOReturn injected =
            DriverKitPlatform::injectedFailure(this, DriverKitPlatform::USBCall::GetFrameNumber)) {
        return injected;
    }
    if (frameNumber == nullptr) {
        return kIOReturnBadArgument;
    }
    const SimUSB::FrameReading reading = fDevice->platformDevice()->readFrame();
    *frameNumber = reading.frame;
    if (time != nullptr) {
        *time = reading.time;
    }
    DriverKitPlatform::tellFrameRead(reading.frame, reading.time);
    return kIOReturnSuccess;
}

kern_return_t IOUSBHostInterface::DeviceRequest(uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue,
                                                uint16_t wIndex, uint16_t wLength,
                                                IOMemoryDescriptor* dataBuffer, uint16_t* bytesTransferred,
                                                uint32_t completionTimeoutMs)
{
    if (IOReturn injected =
            DriverKitPlatform::injectedFailure(this, DriverKitPlatform::USBCall::DeviceRequest)) {
        return injected;
    }
    return fDevice->DeviceRequest(bmRequestType, bRequest, wValue, wIndex, wLength, dataBuffer,
                                  bytesTransferred, completionTimeoutMs);
}
