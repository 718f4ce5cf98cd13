// Registry entries: properties, names and children.

#include "Iterators.h"
#include "Registry.h"

#include <IOKit/IOKitLib.h>

#include <cstdio>
#include <cstring>

using IOKit::findEntry;
using IOKit::HandleTable;
using IOKit::Registry;
using IOKit::SnapshotIterator;

CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t entry, CFStringRef key, CFAllocatorRef,
                                          IOOptionBits)
{
    auto found = findEntry(entry);
    return found && key != nullptr ? found->copyProperty(key) : nullptr;
}

kern_return_t IORegistryEntryGetName(io_registry_entry_t entry, io_name_t name)
{
    auto found = findEntry(entry);
    if (!found || name == nullptr) {
        return kIOReturnBadArgument;
    }
    snprintf(name, sizeof(io_name_t), "%s", found->name().c_str());
    return kIOReturnSuccess;
}

kern_return_t IORegistryEntryGetChildIterator(io_registry_entry_t entry, const char* plane,
                                              io_iterator_t* iterator)
{
    auto found = findEntry(entry);
    if (!found || plane == nullptr || iterator == nullptr) {
        return kIOReturnBadArgument;
    }
    // The service plane is the only one kept.
    if (strcmp(plane, kIOServicePlane) != 0) {
        return kIOReturnUnsupported;
    }
    *iterator =
        HandleTable::shared().add(std::make_shared<SnapshotIterator>(Registry::shared().children(*found)));
    return kIOReturnSuccess;
}
