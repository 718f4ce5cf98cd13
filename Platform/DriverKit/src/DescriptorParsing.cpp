// Descriptor walks that stay inside the configuration whatever its bytes say.

#include "DescriptorCopies.h"

#include <USBDriverKit/USBTypes.h>

#include <SimUSB/Setup.h>

#include <algorithm>

namespace {

struct Bounds
{
    const uint8_t* start;
    const uint8_t* end;
};

Bounds boundsOf(const IOUSBConfigurationDescriptor* configuration)
{
    const auto* start = reinterpret_cast<const uint8_t*>(configuration);
    // Copies the platform handed out carry their real size; nothing past it is read.
    const size_t allocated = DriverKitPlatform::descriptorCopySize(configuration);
    if (allocated != 0 && allocated < sizeof(IOUSBConfigurationDescriptor)) {
        return {start, start + allocated};
    }
    size_t length = configuration->wTotalLength;
    if (allocated != 0) {
        length = std::min(length, allocated);
    }
    return {start, start + length};
}

const IOUSBDescriptorHeader* after(const Bounds& bounds, const uint8_t* at)
{
    if (at < bounds.start || at + 2 > bounds.end) {
        return nullptr;
    }
    const uint8_t length = at[0];
    if (length < 2 || at + length > bounds.end) {
        return nullptr;
    }
    const uint8_t* next = at + length;
    if (next + 2 > bounds.end || next[0] < 2 || next + next[0] > bounds.end) {
        return nullptr;
    }
    return reinterpret_cast<const IOUSBDescriptorHeader*>(next);
}

} // namespace

const IOUSBDescriptorHeader* IOUSBGetNextDescriptor(const IOUSBConfigurationDescriptor* configuration,
                                                    const IOUSBDescriptorHeader* current)
{
    if (configuration == nullptr) {
        return nullptr;
    }
    const Bounds bounds = boundsOf(configuration);
    const auto* at = current != nullptr ? reinterpret_cast<const uint8_t*>(current) : bounds.start;
    return after(bounds, at);
}

const IOUSBDescriptorHeader* IOUSBGetNextDescriptorWithType(const IOUSBConfigurationDescriptor* configuration,
                                                            const IOUSBDescriptorHeader* current,
                                                            uint8_t type)
{
    do {
        current = IOUSBGetNextDescriptor(configuration, current);
    } while (current != nullptr && current->bDescriptorType != type);
    return current;
}

const IOUSBDescriptorHeader*
IOUSBGetNextAssociatedDescriptor(const IOUSBConfigurationDescriptor* configuration,
                                 const IOUSBDescriptorHeader* parent, const IOUSBDescriptorHeader* current)
{
    if (parent == nullptr) {
        return nullptr;
    }
    const IOUSBDescriptorHeader* next =
        IOUSBGetNextDescriptor(configuration, current != nullptr ? current : parent);
    if (next == nullptr || next->bDescriptorType == kIOUSBDescriptorTypeInterface) {
        return nullptr;
    }
    return next;
}

const IOUSBDescriptorHeader*
IOUSBGetNextAssociatedDescriptorWithType(const IOUSBConfigurationDescriptor* configuration,
                                         const IOUSBDescriptorHeader* parent,
                                         const IOUSBDescriptorHeader* current, uint8_t type)
{
    do {
        current = IOUSBGetNextAssociatedDescriptor(configuration, parent, current);
    } while (current != nullptr && current->bDescriptorType != type);
    return current;
}

const IOUSBInterfaceDescriptor*
IOUSBGetNextInterfaceDescriptor(const IOUSBConfigurationDescriptor* configuration,
                                const IOUSBDescriptorHeader* current)
{
    do {
        current = IOUSBGetNextDescriptorWithType(configuration, current, kIOUSBDescriptorTypeInterface);
    } while (current != nullptr && current->bLength < sizeof(IOUSBInterfaceDescriptor));
    return reinterpret_cast<const IOUSBInterfaceDescriptor*>(current);
}

const IOUSBEndpointDescriptor*
IOUSBGetNextEndpointDescriptor(const IOUSBConfigurationDescriptor* configuration,
                               const IOUSBInterfaceDescriptor* interface,
                               const IOUSBDescriptorHeader* current)
{
    const auto* parent = reinterpret_cast<const IOUSBDescriptorHeader*>(interface);
    do {
        current = IOUSBGetNextAssociatedDescriptorWithType(configuration, parent, current,
                                                           kIOUSBDescriptorTypeEndpoint);
    } while (current != nullptr && current->bLength < sizeof(IOUSBEndpointDescriptor));
    return reinterpret_cast<const IOUSBEndpointDescriptor*>(current);
}

uint8_t IOUSBGetEndpointAddress(const IOUSBEndpointDescriptor* descriptor)
{
    return descriptor->bEndpointAddress;
}

uint8_t IOUSBGetEndpointDirection(const IOUSBEndpointDescriptor* descriptor)
{
    return (descriptor->bEndpointAddress & 0x80) != 0 ? kIOUSBEndpointDirectionIn
                                                      : kIOUSBEndpointDirectionOut;
}

uint8_t IOUSBGetEndpointType(const IOUSBEndpointDescriptor* descriptor)
{
    return descriptor->bmAttributes & 3;
}

uint32_t IOUSBGetEndpointMaxPacketSize(const IOUSBEndpointDescriptor* descriptor)
{
    return SimUSB::bytesPerMicroframe(descriptor->wMaxPacketSize);
}
