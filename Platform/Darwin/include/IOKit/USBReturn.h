#pragma once

// Result codes of the USB host family, shared by kernel and DriverKit USB code.

#include <IOKit/IOReturn.h>

#define iokit_usb_err(code) ((IOReturn)(sys_iokit | sub_iokit_usb | (code)))
#define kIOUSBNotSent2Err iokit_usb_err(0x0E)
#define kIOUSBPipeStalled iokit_usb_err(0x4F)
#define kIOUSBTransactionTimeout iokit_usb_err(0x51)
