#pragma once

// DriverKit property objects as the registry stores them: CF property lists.

#include <DriverKit/OSDictionary.h>

#include <CoreFoundation/CoreFoundation.h>

namespace DriverKitPlatform {

// A new CF value (OSString, OSNumber, OSData, OSBoolean, OSArray, OSDictionary), or null.
CFTypeRef copyPropertyValue(const OSObject* object);
CFDictionaryRef copyPropertyDictionary(const OSDictionary* dictionary);
// The other way: a new OSObject of a CF property-list value, or null for a type it has no form of.
OSObject* copyObjectValue(CFTypeRef value);

} // namespace DriverKitPlatform
