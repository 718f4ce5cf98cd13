#pragma once

// Messages of interest notifications: the system-power messages a registration receives.

#include <IOKit/IOReturn.h>

#include <stdint.h>

#define iokit_common_msg(message) ((uint32_t)(sys_iokit | sub_iokit_common | (message)))

#define kIOMessageCanSystemSleep iokit_common_msg(0x270)
#define kIOMessageSystemWillSleep iokit_common_msg(0x280)
#define kIOMessageSystemHasPoweredOn iokit_common_msg(0x300)
