#pragma once

// Plug-in interfaces for services: a user-space library's object for a service, reached through the
// IUnknown entries of CFPlugInCOM.h. The object answers QueryInterface with the library's own
// interfaces (the USB device interfaces of IOKit/usb/IOUSBLib.h, for example).

#include <CoreFoundation/CFPlugInCOM.h>
#include <IOKit/IOKitLib.h>

// The interface IOCreatePlugInInterfaceForService hands out.
#define kIOCFPlugInInterfaceID                                                                               \
    CFUUIDGetConstantUUIDWithBytes(NULL, 0xC2, 0x44, 0xE8, 0x58, 0x10, 0x9C, 0x11, 0xD4, 0x91, 0xD4, 0x00,   \
                                   0x50, 0xE4, 0xC6, 0x42, 0x6F)

typedef struct IOCFPlugInInterfaceStruct
{
    IUNKNOWN_C_GUTS;
    UInt16 version;
    UInt16 revision;
    IOReturn (*Probe)(void* thisPointer, CFDictionaryRef propertyTable, io_service_t service, SInt32* order);
    IOReturn (*Start)(void* thisPointer, CFDictionaryRef propertyTable, io_service_t service);
    IOReturn (*Stop)(void* thisPointer);
} IOCFPlugInInterface;

__BEGIN_DECLS

// Creates the plug-in of type `pluginType` for `service` and answers its `interfaceType` interface
// (kIOCFPlugInInterfaceID) with one reference, and the plug-in's match score.
kern_return_t IOCreatePlugInInterfaceForService(io_service_t service, CFUUIDRef pluginType,
                                                CFUUIDRef interfaceType, IOCFPlugInInterface*** theInterface,
                                                SInt32* theScore);
// Releases the reference IOCreatePlugInInterfaceForService gave.
kern_return_t IODestroyPlugInInterface(IOCFPlugInInterface** interface);

__END_DECLS
