#pragma once

// Standard USB descriptors, USB result codes, and the helpers drivers walk descriptors with.

#include <DriverKit/IOTypes.h>

#include <cstdint>

#define iokit_usb_err(code) ((IOReturn)(sys_iokit | sub_iokit_usb | (code)))
#define kIOUSBNotSent2Err iokit_usb_err(0x0E)
#define kIOUSBPipeStalled iokit_usb_err(0x4F)
#define kIOUSBTransactionTimeout iokit_usb_err(0x51)

enum
{
    kIOUSBAbortSynchronous = 0,
    kIOUSBAbortAsynchronous = 1,
};

enum
{
    kIOUSBEndpointTypeControl = 0,
    kIOUSBEndpointTypeIsochronous = 1,
    kIOUSBEndpointTypeBulk = 2,
    kIOUSBEndpointTypeInterrupt = 3,
};

enum
{
    kIOUSBEndpointDirectionOut = 0,
    kIOUSBEndpointDirectionIn = 1,
};

enum
{
    kIOUSBDescriptorTypeDevice = 1,
    kIOUSBDescriptorTypeConfiguration = 2,
    kIOUSBDescriptorTypeString = 3,
    kIOUSBDescriptorTypeInterface = 4,
    kIOUSBDescriptorTypeEndpoint = 5,
    kIOUSBDescriptorTypeInterfaceAssociation = 11,
};

#pragma pack(push, 1)

struct IOUSBDescriptorHeader
{
    uint8_t bLength;
    uint8_t bDescriptorType;
};

struct IOUSBDeviceDescriptor
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

struct IOUSBConfigurationDescriptor
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

struct IOUSBInterfaceDescriptor
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

struct IOUSBEndpointDescriptor
{
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint8_t bEndpointAddress;
    uint8_t bmAttributes;
    uint16_t wMaxPacketSize;
    uint8_t bInterval;
};

struct IOUSBStringDescriptor
{
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint8_t bString[1];
};

#pragma pack(pop)

// One entry of an isochronous frame list.
struct IOUSBIsochronousFrame
{
    IOReturn status;
    uint32_t requestCount;
    uint32_t completeCount;
    uint32_t reserved;
    uint64_t timeStamp;
};
static_assert(sizeof(IOUSBIsochronousFrame) == 24);

// The endpoint descriptor of a pipe, as the device gave it.
struct IOUSBStandardEndpointDescriptors
{
    IOUSBEndpointDescriptor descriptor;
};

// Frees what a Copy...Descriptor call returned.
void IOUSBHostFreeDescriptor(const void* descriptor);

// Descriptor walks within a configuration. Each returns null at the end, at a descriptor whose
// bLength is below 2, and at one that would cross wTotalLength. A null `current` starts after the
// configuration descriptor.
const IOUSBDescriptorHeader* IOUSBGetNextDescriptor(const IOUSBConfigurationDescriptor* configuration,
                                                    const IOUSBDescriptorHeader* current);
const IOUSBDescriptorHeader* IOUSBGetNextDescriptorWithType(const IOUSBConfigurationDescriptor* configuration,
                                                            const IOUSBDescriptorHeader* current,
                                                            uint8_t type);
// The descriptors after `parent` up to the next interface descriptor.
const IOUSBDescriptorHeader*
IOUSBGetNextAssociatedDescriptor(const IOUSBConfigurationDescriptor* configuration,
                                 const IOUSBDescriptorHeader* parent, const IOUSBDescriptorHeader* current);
const IOUSBDescriptorHeader*
IOUSBGetNextAssociatedDescriptorWithType(const IOUSBConfigurationDescriptor* configuration,
                                         const IOUSBDescriptorHeader* parent,
                                         const IOUSBDescriptorHeader* current, uint8_t type);
const IOUSBInterfaceDescriptor*
IOUSBGetNextInterfaceDescriptor(const IOUSBConfigurationDescriptor* configuration,
                                const IOUSBDescriptorHeader* current);
const IOUSBEndpointDescriptor*
IOUSBGetNextEndpointDescriptor(const IOUSBConfigurationDescriptor* configuration,
                               const IOUSBInterfaceDescriptor* interface,
                               const IOUSBDescriptorHeader* current);

uint8_t IOUSBGetEndpointAddress(const IOUSBEndpointDescriptor* descriptor);
// kIOUSBEndpointDirectionIn or kIOUSBEndpointDirectionOut.
uint8_t IOUSBGetEndpointDirection(const IOUSBEndpointDescriptor* descriptor);
// kIOUSBEndpointType...
uint8_t IOUSBGetEndpointType(const IOUSBEndpointDescriptor* descriptor);
// Bytes per microframe: (wMaxPacketSize & 0x7FF) x (transactions per microframe), at most 3072.
uint32_t IOUSBGetEndpointMaxPacketSize(const IOUSBEndpointDescriptor* descriptor);
