#pragma once

// What user space sees of kernel registry entries, for tests built with KERNEL.

#include <IOKit/platform/Registry.h>

#include <CoreFoundation/CoreFoundation.h>

#include <memory>

namespace KernelIOKitTestSupport {

// IORegistryEntryCreateCFProperty on the entry's user-space handle.
CFTypeRef copyUserSpaceProperty(const std::shared_ptr<IOKitPlatform::RegistryEntry>& entry, const char* key);

// The services IOServiceGetMatchingServices(IOServiceMatching(className)) finds.
int countUserSpaceServices(const char* className);

} // namespace KernelIOKitTestSupport
