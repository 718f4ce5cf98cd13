#pragma once

// Standard USB descriptors and the walks kernel drivers read them with. Every walk returns null at
// the end of the configuration, at a descriptor whose bLength is below 2, at one that would cross
// wTotalLength, and at the end of the bytes the device gave.

#include <IOKit/IOKernelTypes.h>
#include <IOKit/USBReturn.h>

#include <cstdint>

namespace StandardUSB {

enum DescriptorType : uint8_t
{
    kDescriptorTypeDevice = 1,
    kDescriptorTypeConfiguration = 2,
    kDescriptorTypeString = 3,
    kDescriptorTypeInterface = 4,
    kDescriptorTypeEndpoint = 5,
};

enum EndpointType : uint8_t
{
    kEndpointTypeControl = 0,
    kEndpointTypeIsochronous = 1,
    kEndpointTypeBulk = 2,
    kEndpointTypeInterrupt = 3,
};

enum EndpointDirection : uint8_t
{
    kEndpointDirectionOut = 0,
    kEndpointDirectionIn = 1,
};

// The most bytes an endpoint moves in one microframe.
constexpr uint32_t kMaxBytesPerMicroframe = 3072;

#pragma pack(push, 1)

struct Descriptor
{
    uint8_t bLength;
    uint8_t bDescriptorType;
};

struct DeviceDescriptor
{
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint16_t bcdUSB;
    uint8_t bDeviceClass;
    uint8_t bDeviceSubClass;
    uint8_t bDeviceProtocol;
    uint8_t bMaxPacketSize0;
    uint16_t idVendor;
    uint16_t idProduct;
    uint16_t bcdDevice;
    uint8_t iManufacturer;
    uint8_t iProduct;
    uint8_t iSerialNumber;
    uint8_t bNumConfigurations;
};

struct ConfigurationDescriptor
{
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint16_t wTotalLength;
    uint8_t bNumInterfaces;
    uint8_t bConfigurationValue;
    uint8_t iConfiguration;
    uint8_t bmAttributes;
    uint8_t MaxPower;
};

struct InterfaceDescriptor
{
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint8_t bInterfaceNumber;
    uint8_t bAlternateSetting;
    uint8_t bNumEndpoints;
    uint8_t bInterfaceClass;
    uint8_t bInterfaceSubClass;
    uint8_t bInterfaceProtocol;
    uint8_t iInterface;
};

struct EndpointDescriptor
{
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint8_t bEndpointAddress;
    uint8_t bmAttributes;
    uint16_t wMaxPacketSize;
    uint8_t bInterval;
};

// The setup stage of a control request.
struct DeviceRequest
{
    uint8_t bmRequestType;
    uint8_t bRequest;
    uint16_t wValue;
    uint16_t wIndex;
    uint16_t wLength;
};

struct StringDescriptor
{
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint8_t bString[1];
};

#pragma pack(pop)

static_assert(sizeof(DeviceRequest) == 8 && sizeof(DeviceDescriptor) == 18 &&
              sizeof(ConfigurationDescriptor) == 9 && sizeof(InterfaceDescriptor) == 9 &&
              sizeof(EndpointDescriptor) == 7);

// A null `current` starts after the configuration descriptor.
const Descriptor* getNextDescriptor(const ConfigurationDescriptor* configuration, const Descriptor* current);
const Descriptor* getNextDescriptorWithType(const ConfigurationDescriptor* configuration,
                                            const Descriptor* current, uint8_t type);
// The descriptors after `parent` up to the next interface descriptor.
const Descriptor* getNextAssociatedDescriptor(const ConfigurationDescriptor* configuration,
                                              const Descriptor* parent, const Descriptor* current);
const Descriptor* getNextAssociatedDescriptorWithType(const ConfigurationDescriptor* configuration,
                                                      const Descriptor* parent, const Descriptor* current,
                                                      uint8_t type);
// Interface and endpoint descriptors too short for their fields are passed over.
const InterfaceDescriptor* getNextInterfaceDescriptor(const ConfigurationDescriptor* configuration,
                                                      const Descriptor* current);
const EndpointDescriptor* getNextEndpointDescriptor(const ConfigurationDescriptor* configuration,
                                                    const InterfaceDescriptor* interface,
                                                    const Descriptor* current);

uint8_t getEndpointAddress(const EndpointDescriptor* descriptor);
EndpointDirection getEndpointDirection(const EndpointDescriptor* descriptor);
EndpointType getEndpointType(const EndpointDescriptor* descriptor);
// (wMaxPacketSize & 0x7FF) x (transactions per microframe), at most kMaxBytesPerMicroframe.
uint32_t getEndpointMaxPacketSize(const EndpointDescriptor* descriptor);

} // namespace StandardUSB
