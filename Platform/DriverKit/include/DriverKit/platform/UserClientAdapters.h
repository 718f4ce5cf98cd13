#pragma once

// How a host puts an adapter between IOKit's user-space calls and a DriverKit service's user clients:
// services of a class (and its subclasses) created after the call get their user-client provider
// wrapped, so every IOServiceOpen on them goes through the adapter.

#include <IOKit/platform/UserClient.h>

#include <functional>
#include <memory>

namespace DriverKitPlatform {

using UserClientProviderWrapper = std::function<std::shared_ptr<IOKitPlatform::UserClientProvider>(
    std::shared_ptr<IOKitPlatform::UserClientProvider> plain)>;

void wrapUserClientProviders(const char* className, UserClientProviderWrapper wrapper);

} // namespace DriverKitPlatform
