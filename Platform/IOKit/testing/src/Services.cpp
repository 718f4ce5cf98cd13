#include <IOKitTesting/Services.h>

#include "Handles.h"

namespace IOKitTesting {

std::shared_ptr<IOKitPlatform::RegistryEntry> publishService(std::vector<std::string> classChain,
                                                             CFDictionaryRef properties)
{
    auto entry = IOKitPlatform::RegistryEntry::create(std::move(classChain), {}, properties);
    entry->registerService();
    return entry;
}

io_registry_entry_t copyHandle(const std::shared_ptr<IOKitPlatform::RegistryEntry>& entry)
{
    return IOKit::HandleTable::shared().retainEntry(entry);
}

} // namespace IOKitTesting
