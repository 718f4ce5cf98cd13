#pragma once

// The USB device library: its plug-in type for device nubs ("IOUSBHostDevice", also matched as
// "IOUSBDevice") and the device interface that plug-in answers.
//
// One device interface object stands behind every device-interface id. A device is held open by at
// most one interface at a time; every interface may ask it to re-enumerate. Once the device has
// left the bus, opening, closing and re-enumerating answer kIOReturnNoDevice.

#include <IOKit/IOCFPlugIn.h>

// The plug-in type for IOCreatePlugInInterfaceForService on a USB device nub.
#define kIOUSBDeviceUserClientTypeID                                                                         \
    CFUUIDGetConstantUUIDWithBytes(NULL, 0x9D, 0xC7, 0xB7, 0x80, 0x9E, 0xC0, 0x11, 0xD4, 0xA5, 0x4F, 0x00,   \
                                   0x0A, 0x27, 0x05, 0x28, 0x61)

// Device-interface ids.
#define kIOUSBDeviceInterfaceID                                                                              \
    CFUUIDGetConstantUUIDWithBytes(NULL, 0x3C, 0x9E, 0xE1, 0xEB, 0x24, 0x02, 0x11, 0xB2, 0x8E, 0x7E, 0x00,   \
                                   0x0A, 0x27, 0x80, 0x1E, 0x86)
#define kIOUSBDeviceInterfaceID300                                                                           \
    CFUUIDGetConstantUUIDWithBytes(NULL, 0x39, 0x61, 0x04, 0xF7, 0x94, 0x3B, 0x4B, 0x26, 0xB0, 0x5F, 0x43,   \
                                   0x1E, 0x0E, 0x7A, 0x3C, 0x17)

// USBDeviceReEnumerate's option: re-enumerate even while another client holds the device.
#define kUSBReEnumerateCaptureDeviceMask (1u << 29)

typedef struct IOUSBDeviceStruct
{
    IUNKNOWN_C_GUTS;
    IOReturn (*GetDeviceVendor)(void* self, UInt16* vendor);
    IOReturn (*GetDeviceProduct)(void* self, UInt16* product);
    IOReturn (*USBDeviceOpen)(void* self);
    IOReturn (*USBDeviceClose)(void* self);
    IOReturn (*USBDeviceReEnumerate)(void* self, UInt32 options);
} IOUSBDeviceInterface;
