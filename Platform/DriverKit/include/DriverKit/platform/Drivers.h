#pragma once

// How a driver library enters the platform: its host registers the library's classes and
// personalities in one explicit call (static registrars are not reliable in static libraries).
// Registering a personality matches it against the nubs already present.

#include <DriverKit/OSDictionary.h>
#include <DriverKit/OSObject.h>

#include <vector>

namespace DriverKitPlatform {

struct DriverClass
{
    const char* name;
    // The superclass's name: another registered class, or IOService, IOUserClient,
    // IOUSBHostDevice or IOUSBHostInterface.
    const char* base;
    OSObject* (*factory)();
};

// A personality holds IOProviderClass, IOUserClass, IOProbeScore, optionally the USB keys idVendor,
// idProduct, bConfigurationValue, bInterfaceNumber, bInterfaceClass, bInterfaceSubClass and
// bInterfaceProtocol, and any properties the service should have (UserClientProperties, say).
void registerDriver(const std::vector<DriverClass>& classes, const std::vector<OSDictionary*>& personalities);

// The USB nubs appear for the devices of the process's simulated bus once this is called; driver
// registration calls it too.
void startUSB();

} // namespace DriverKitPlatform
