#pragma once

// Kernel property objects and their user-space form: OSString and CFString, OSNumber and CFNumber,
// OSData and CFData, OSBoolean and CFBoolean, arrays and dictionaries element by element.

#include <libkern/c++/OSObject.h>

#include <CoreFoundation/CoreFoundation.h>

namespace KernelIOKitPlatform {

// A new CF value, or null for an object that has no property-list form.
CFTypeRef createCFValue(const OSObject* object);
// A new kernel object with one reference, or null for a value of another CF type.
OSObject* createOSValue(CFTypeRef value);

} // namespace KernelIOKitPlatform
