#include "DescriptorCopies.h"
#include "DriverRegistry.h"
#include "ServiceState.h"
#include "USBFailures.h"
#include "USBHost.h"

#include <USBDriverKit/IOUSBHostDevice.h>
#include <USBDriverKit/IOUSBHostInterface.h>

#include <SimUSB/HostDevice.h>

#include <algorithm>
#include <vector>

namespace {

constexpr uint32_t kDescriptorTimeoutMs = 5000;

// Reads a descriptor with GET_DESCRIPTOR; empty when the device does not answer with one.
std::vector<uint8_t> readDescriptor(SimUSB::HostDevice& device, uint8_t type, uint8_t index,
                                    uint16_t language, uint16_t length)
{
    std::vector<uint8_t> bytes(length);
    const SimUSB::ControlResult result =
        device.control({0x80, SimUSB::Request::kGetDescriptor, uint16_t(type << 8 | index), language, length},
                       bytes.data(), kDescriptorTimeoutMs);
    if (result.status != SimUSB::kSuccess) {
        return {};
    }
    bytes.resize(result.length);
    return bytes;
}

struct InterfaceIteration
{
    std::vector<IOUSBHostInterface*> interfaces;
    size_t next = 0;
};

} // namespace

const IOUSBDeviceDescriptor* IOUSBHostDevice::CopyDeviceDescriptor()
{
    const std::vector<uint8_t>& bytes = fDevice->deviceDescriptor();
    return static_cast<const IOUSBDeviceDescriptor*>(
        DriverKitPlatform::copyDescriptor(bytes.data(), bytes.size()));
}

const IOUSBConfigurationDescriptor* IOUSBHostDevice::CopyConfigurationDescriptor(uint8_t index)
{
    std::vector<uint8_t> bytes;
    if (index == 0) {
        bytes = fDevice->configurationDescriptor();
    } else {
        bytes = readDescriptor(*fDevice, kIOUSBDescriptorTypeConfiguration, index, 0, 9);
        if (bytes.size() >= 4) {
            bytes = readDescriptor(*fDevice, kIOUSBDescriptorTypeConfiguration, index, 0,
                                   uint16_t(bytes[2] | bytes[3] << 8));
        }
    }
    if (bytes.size() < sizeof(IOUSBConfigurationDescriptor)) {
        return nullptr;
    }
    return static_cast<const IOUSBConfigurationDescriptor*>(
        DriverKitPlatform::copyDescriptor(bytes.data(), bytes.size()));
}

const IOUSBConfigurationDescriptor* IOUSBHostDevice::CopyConfigurationDescriptor()
{
    const std::vector<uint8_t>& bytes = fDevice->configurationDescriptor();
    if (bytes.size() < sizeof(IOUSBConfigurationDescriptor) || bytes[5] != fDevice->configurationValue()) {
        return nullptr;
    }
    return CopyConfigurationDescriptor(0);
}

const IOUSBStringDescriptor* IOUSBHostDevice::CopyStringDescriptor(uint8_t index, uint16_t languageID)
{
    if (languageID == 0) {
        if (fDevice->languages().empty()) {
            return nullptr;
        }
        languageID = fDevice->languages().front();
    }
    const std::vector<uint8_t> bytes =
        readDescriptor(*fDevice, kIOUSBDescriptorTypeString, index, languageID, 255);
    if (bytes.size() < 2) {
        return nullptr;
    }
    return static_cast<const IOUSBStringDescriptor*>(
        DriverKitPlatform::copyDescriptor(bytes.data(), bytes.size()));
}

kern_return_t IOUSBHostDevice::SetConfiguration(uint8_t bConfigurationValue, bool matchInterfaces)
{
    const uint8_t previous = fDevice->configurationValue();
    const SimUSB::ControlResult result = fDevice->control(
        {0x00, SimUSB::Request::kSetConfiguration, bConfigurationValue, 0, 0}, nullptr, kDescriptorTimeoutMs);
    if (result.status != SimUSB::kSuccess) {
        return DriverKitPlatform::usbStatus(result.status);
    }
    if (previous == bConfigurationValue) {
        return kIOReturnSuccess;
    }
    // Another configuration: the interfaces of the old one go, with their drivers.
    std::vector<IOService*> interfaces;
    {
        DriverKitPlatform::ServiceState& state = platformState();
        std::lock_guard lock(state.lock);
        for (IOService* child : state.children) {
            if (OSDynamicCast(IOUSBHostInterface, child) != nullptr) {
                child->retain();
                interfaces.push_back(child);
            }
        }
    }
    for (IOService* interface : interfaces) {
        DriverKitPlatform::terminate(interface);
        DriverKitPlatform::detachFromProvider(interface);
        interface->release();
    }
    DriverKitPlatform::publishInterfaces(this, bConfigurationValue, matchInterfaces, true);
    return kIOReturnSuccess;
}

kern_return_t IOUSBHostDevice::CreateInterfaceIterator(uintptr_t* iterationRef)
{
    if (iterationRef == nullptr) {
        return kIOReturnBadArgument;
    }
    auto* iteration = new InterfaceIteration;
    {
        DriverKitPlatform::ServiceState& state = platformState();
        std::lock_guard lock(state.lock);
        for (IOService* child : state.children) {
            if (auto* interface = OSDynamicCast(IOUSBHostInterface, child); interface != nullptr) {
                interface->retain();
                iteration->interfaces.push_back(interface);
            }
        }
    }
    std::stable_sort(iteration->interfaces.begin(), iteration->interfaces.end(), [](auto* a, auto* b) {
        return a->platformInterfaceNumber() < b->platformInterfaceNumber();
    });
    *iterationRef = reinterpret_cast<uintptr_t>(iteration);
    return kIOReturnSuccess;
}

kern_return_t IOUSBHostDevice::CopyInterface(uintptr_t iterationRef, IOUSBHostInterface** interface)
{
    auto* iteration = reinterpret_cast<InterfaceIteration*>(iterationRef);
    if (iteration == nullptr || interface == nullptr) {
        return kIOReturnBadArgument;
    }
    if (iteration->next >= iteration->interfaces.size()) {
        *interface = nullptr;
        return kIOReturnNotFound;
    }
    *interface = iteration->interfaces[iteration->next++];
    (*interface)->retain();
    return kIOReturnSuccess;
}

kern_return_t IOUSBHostDevice::DestroyInterfaceIterator(uintptr_t iterationRef)
{
    auto* iteration = reinterpret_cast<InterfaceIteration*>(iterationRef);
    if (iteration == nullptr) {
        return kIOReturnBadArgument;
    }
    for (IOUSBHostInterface* interface : iteration->interfaces) {
        interface->release();
    }
    delete iteration;
    return kIOReturnSuccess;
}

kern_return_t IOUSBHostDevice::DeviceRequest(uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue,
                                             uint16_t wIndex, uint16_t wLength,
                                             IOMemoryDescriptor* dataBuffer, uint16_t* bytesTransferred,
                                             uint32_t completionTimeoutMs)
{
    if (IOReturn injected =
            DriverKitPlatform::injectedFailure(this, DriverKitPlatform::USBCall::DeviceRequest)) {
        return injected;
    }
    if (wLength != 0 && (dataBuffer == nullptr || dataBuffer->platformLength() < wLength)) {
        return kIOReturnBadArgument;
    }
    uint8_t* data = wLength != 0 ? dataBuffer->platformBytes() : nullptr;
    const SimUSB::ControlResult result =
        fDevice->control({bmRequestType, bRequest, wValue, wIndex, wLength}, data, completionTimeoutMs);
    if (bytesTransferred != nullptr) {
        *bytesTransferred = result.status == SimUSB::kSuccess ? uint16_t(result.length) : 0;
    }
    return DriverKitPlatform::usbStatus(result.status);
}
