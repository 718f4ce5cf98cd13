#pragma once

// Shortcuts for tests that need services in the registry.

#include <IOKit/IOKitLib.h>
#include <IOKit/platform/Registry.h>

#include <memory>
#include <string>
#include <vector>

namespace IOKitTesting {

// A service created and published in one step.
std::shared_ptr<IOKitPlatform::RegistryEntry> publishService(std::vector<std::string> classChain,
                                                             CFDictionaryRef properties = nullptr);

// The process's handle of `entry`, with a reference the caller releases.
io_registry_entry_t copyHandle(const std::shared_ptr<IOKitPlatform::RegistryEntry>& entry);

} // namespace IOKitTesting
