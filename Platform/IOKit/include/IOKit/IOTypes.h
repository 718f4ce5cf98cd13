#pragma once

// Handles of user-space IOKit and the small types of its interfaces.

#include <IOKit/IOReturn.h>
#include <mach/mach_types.h>

#include <stdint.h>

// Like Mach port names, a handle names one object of the process; a registry entry has one handle
// value while the process holds any reference to it. 0 is no object.
typedef mach_port_t io_object_t;
typedef io_object_t io_connect_t;
typedef io_object_t io_iterator_t;
typedef io_object_t io_registry_entry_t;
typedef io_object_t io_service_t;

typedef char io_name_t[128];
typedef uint32_t IOOptionBits;
typedef mach_port_t task_port_t;

// IOConnectMapMemory64: the system picks the address.
enum : IOOptionBits
{
    kIOMapAnywhere = 0x00000001
};

#define kIOServicePlane "IOService"
