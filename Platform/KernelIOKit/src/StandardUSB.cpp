// The kernel's names for the bounded walks of the DriverKit layer: one walk for both.

#include <IOKit/usb/StandardUSB.h>

#include <USBDriverKit/USBTypes.h>

namespace StandardUSB {

namespace {

const IOUSBConfigurationDescriptor* shared(const ConfigurationDescriptor* configuration)
{
    return reinterpret_cast<const IOUSBConfigurationDescriptor*>(configuration);
}

const IOUSBDescriptorHeader* shared(const Descriptor* descriptor)
{
    return reinterpret_cast<const IOUSBDescriptorHeader*>(descriptor);
}

const Descriptor* ours(const IOUSBDescriptorHeader* descriptor)
{
    return reinterpret_cast<const Descriptor*>(descriptor);
}

} // namespace

const Descriptor* getNextDescriptor(const ConfigurationDescriptor* configuration, const Descriptor* current)
{
    return ours(IOUSBGetNextDescriptor(shared(configuration), shared(current)));
}

const Descriptor* getNextDescriptorWithType(const ConfigurationDescriptor* configuration,
                                            const Descriptor* current, uint8_t type)
{
    return ours(IOUSBGetNextDescriptorWithType(shared(configuration), shared(current), type));
}

const Descriptor* getNextAssociatedDescriptor(const ConfigurationDescriptor* configuration,
                                              const Descriptor* parent, const Descriptor* current)
{
    return ours(IOUSBGetNextAssociatedDescriptor(shared(configuration), shared(parent), shared(current)));
}

const Descriptor* getNextAssociatedDescriptorWithType(const ConfigurationDescriptor* configuration,
                                                      const Descriptor* parent, const Descriptor* current,
                                                      uint8_t type)
{
    return ours(IOUSBGetNextAssociatedDescriptorWithType(shared(configuration), shared(parent),
                                                         shared(current), type));
}

const InterfaceDescriptor* getNextInterfaceDescriptor(const ConfigurationDescriptor* configuration,
                                                      const Descriptor* current)
{
    return reinterpret_cast<const InterfaceDescriptor*>(
        IOUSBGetNextInterfaceDescriptor(shared(configuration), shared(current)));
}

const EndpointDescriptor* getNextEndpointDescriptor(const ConfigurationDescriptor* configuration,
                                                    const InterfaceDescriptor* interface,
                                                    const Descriptor* current)
{
    return reinterpret_cast<const EndpointDescriptor*>(IOUSBGetNextEndpointDescriptor(
        shared(configuration), reinterpret_cast<const IOUSBInterfaceDescriptor*>(interface),
        shared(current)));
}

uint8_t getEndpointAddress(const EndpointDescriptor* descriptor)
{
    return descriptor->bEndpointAddress;
}

EndpointDirection getEndpointDirection(const EndpointDescriptor* descriptor)
{
    return (descriptor->bEndpointAddress & 0x80) != 0 ? kEndpointDirectionIn : kEndpointDirectionOut;
}

EndpointType getEndpointType(const EndpointDescriptor* descriptor)
{
    return static_cast<EndpointType>(descriptor->bmAttributes & 3);
}

uint32_t getEndpointMaxPacketSize(const EndpointDescriptor* descriptor)
{
    return IOUSBGetEndpointMaxPacketSize(reinterpret_cast<const IOUSBEndpointDescriptor*>(descriptor));
}

} // namespace StandardUSB
