#pragma once

// The USB device library: its plug-in types for device nubs ("IOUSBHostDevice", also matched as
// "IOUSBDevice") and interface nubs ("IOUSBHostInterface"), and the interfaces those plug-ins
// answer.
//
// One device interface object stands behind every device-interface id. A device is held open by at
// most one interface at a time; every interface may ask it to re-enumerate. Once the device has
// left the bus, opening, closing and re-enumerating answer kIOReturnNoDevice. SetConfiguration
// answers kIOReturnNotOpen unless this interface object holds the device open. Device requests need
// no open and may come from any thread; those to one device run one at a time on its default pipe,
// and DeviceRequest, which has no time-out of its own, gives up with kIOUSBTransactionTimeout after
// 5000 ms on the platform clock.
//
// An interface is held open by one interface object at a time. Its pipes (1 and up, in the order of
// the endpoint descriptors) take asynchronous transfers whose callbacks run on the run loop that
// holds the interface's event source, one at a time, never inside the call that queued them. After
// USBInterfaceClose no callback of that interface runs.

#include <IOKit/IOCFPlugIn.h>
#include <IOKit/IOReturn.h>

// The plug-in type for IOCreatePlugInInterfaceForService on a USB device nub.
#define kIOUSBDeviceUserClientTypeID                                                                         \
    CFUUIDGetConstantUUIDWithBytes(NULL, 0x9D, 0xC7, 0xB7, 0x80, 0x9E, 0xC0, 0x11, 0xD4, 0xA5, 0x4F, 0x00,   \
                                   0x0A, 0x27, 0x05, 0x28, 0x61)

// The plug-in type for IOCreatePlugInInterfaceForService on a USB interface nub.
#define kIOUSBInterfaceUserClientTypeID                                                                      \
    CFUUIDGetConstantUUIDWithBytes(NULL, 0x2D, 0x97, 0x86, 0xC6, 0x9E, 0xF3, 0x11, 0xD4, 0xAD, 0x51, 0x00,   \
                                   0x0A, 0x27, 0x05, 0x28, 0x61)

// Interface-interface ids.
#define kIOUSBInterfaceInterfaceID300                                                                        \
    CFUUIDGetConstantUUIDWithBytes(NULL, 0xBC, 0xEA, 0xAD, 0xDC, 0x88, 0x4D, 0x4F, 0x27, 0x83, 0x40, 0x36,   \
                                   0xD6, 0x9F, 0xAB, 0x90, 0xF6)

// Device-interface ids.
#define kIOUSBDeviceInterfaceID                                                                              \
    CFUUIDGetConstantUUIDWithBytes(NULL, 0x3C, 0x9E, 0xE1, 0xEB, 0x24, 0x02, 0x11, 0xB2, 0x8E, 0x7E, 0x00,   \
                                   0x0A, 0x27, 0x80, 0x1E, 0x86)
#define kIOUSBDeviceInterfaceID300                                                                           \
    CFUUIDGetConstantUUIDWithBytes(NULL, 0x39, 0x61, 0x04, 0xF7, 0x94, 0x3B, 0x4B, 0x26, 0xB0, 0x5F, 0x43,   \
                                   0x1E, 0x0E, 0x7A, 0x3C, 0x17)

// USBDeviceReEnumerate's option: re-enumerate even while another client holds the device.
#define kUSBReEnumerateCaptureDeviceMask (1u << 29)

// Transfer results of the USB family.
#define kIOUSBPipeStalled ((IOReturn)0xE000404F)
#define kIOUSBTransactionTimeout ((IOReturn)0xE0004051)

// CreateInterfaceIterator matches any value in a field set to this.
#define kIOUSBFindInterfaceDontCare 0xFFFF

enum
{
    kUSBOut = 0,
    kUSBIn = 1,
};

enum
{
    kUSBControl = 0,
    kUSBIsoc = 1,
    kUSBBulk = 2,
    kUSBInterrupt = 3,
};

// Completion of an asynchronous transfer: arg0 is the byte count moved, as an integer.
typedef void (*IOAsyncCallback1)(void* refcon, IOReturn result, void* arg0);

typedef struct
{
    UInt8 bmRequestType;
    UInt8 bRequest;
    UInt16 wValue;
    UInt16 wIndex;
    UInt16 wLength;
    void* pData;
    UInt32 wLenDone;
} IOUSBDevRequest;

typedef struct
{
    UInt8 bmRequestType;
    UInt8 bRequest;
    UInt16 wValue;
    UInt16 wIndex;
    UInt16 wLength;
    void* pData;
    UInt32 wLenDone;
    UInt32 noDataTimeout;
    UInt32 completionTimeout;
} IOUSBDevRequestTO;

typedef struct
{
    UInt16 bInterfaceClass;
    UInt16 bInterfaceSubClass;
    UInt16 bInterfaceProtocol;
    UInt16 bAlternateSetting;
} IOUSBFindInterfaceRequest;

typedef struct __attribute__((packed))
{
    UInt8 bLength;
    UInt8 bDescriptorType;
    UInt16 wTotalLength;
    UInt8 bNumInterfaces;
    UInt8 bConfigurationValue;
    UInt8 iConfiguration;
    UInt8 bmAttributes;
    UInt8 MaxPower;
} IOUSBConfigurationDescriptor;
typedef IOUSBConfigurationDescriptor* IOUSBConfigurationDescriptorPtr;

typedef struct IOUSBDeviceStruct
{
    IUNKNOWN_C_GUTS;
    IOReturn (*GetDeviceVendor)(void* self, UInt16* vendor);
    IOReturn (*GetDeviceProduct)(void* self, UInt16* product);
    IOReturn (*USBDeviceOpen)(void* self);
    IOReturn (*USBDeviceClose)(void* self);
    IOReturn (*USBDeviceReEnumerate)(void* self, UInt32 options);
    IOReturn (*CreateDeviceAsyncEventSource)(void* self, CFRunLoopSourceRef* source);
    IOReturn (*GetConfiguration)(void* self, UInt8* configurationValue);
    // The descriptor stays valid as long as the interface object.
    IOReturn (*GetConfigurationDescriptorPtr)(void* self, UInt8 index,
                                              IOUSBConfigurationDescriptorPtr* descriptor);
    IOReturn (*SetConfiguration)(void* self, UInt8 configurationValue);
    IOReturn (*DeviceRequest)(void* self, IOUSBDevRequest* request);
    IOReturn (*DeviceRequestTO)(void* self, IOUSBDevRequestTO* request);
    // The interface nubs of the current configuration that match the request.
    IOReturn (*CreateInterfaceIterator)(void* self, IOUSBFindInterfaceRequest* request,
                                        io_iterator_t* iterator);
    // iSerialNumber of the device descriptor (0: none).
    IOReturn (*USBGetSerialNumberStringIndex)(void* self, UInt8* index);
} IOUSBDeviceInterface;
typedef IOUSBDeviceInterface IOUSBDeviceInterface300;

typedef struct IOUSBInterfaceStruct300
{
    IUNKNOWN_C_GUTS;
    // The source stays the interface's; add it to the run loop that is to run the callbacks.
    IOReturn (*CreateInterfaceAsyncEventSource)(void* self, CFRunLoopSourceRef* source);
    IOReturn (*USBInterfaceOpen)(void* self);
    IOReturn (*USBInterfaceClose)(void* self);
    IOReturn (*GetInterfaceClass)(void* self, UInt8* interfaceClass);
    IOReturn (*GetInterfaceSubClass)(void* self, UInt8* interfaceSubClass);
    IOReturn (*GetInterfaceProtocol)(void* self, UInt8* interfaceProtocol);
    IOReturn (*GetNumEndpoints)(void* self, UInt8* endpoints);
    IOReturn (*GetPipeProperties)(void* self, UInt8 pipeRef, UInt8* direction, UInt8* number,
                                  UInt8* transferType, UInt16* maxPacketSize, UInt8* interval);
    IOReturn (*AbortPipe)(void* self, UInt8 pipeRef);
    IOReturn (*ReadPipeAsyncTO)(void* self, UInt8 pipeRef, void* buffer, UInt32 size, UInt32 noDataTimeout,
                                UInt32 completionTimeout, IOAsyncCallback1 callback, void* refcon);
    IOReturn (*WritePipeAsyncTO)(void* self, UInt8 pipeRef, void* buffer, UInt32 size, UInt32 noDataTimeout,
                                 UInt32 completionTimeout, IOAsyncCallback1 callback, void* refcon);
} IOUSBInterfaceInterface300;
