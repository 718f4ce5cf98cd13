#pragma once

// DriverKit property objects as the registry stores them: CF property lists.

#include <DriverKit/OSDictionary.h>

#include <CoreFoundation/CoreFoundation.h>

namespace DriverKitPlatform {

// A new CF value (OSString, OSNumber, OSData, OSBoolean, OSArray, OSDictionary), or null.
CFTypeRef copyPropertyValue(const OSObject* object);
CFDictionaryRef copyPropertyDictionary(const OSDictionary* dictionary);

} // namespace DriverKitPlatform
