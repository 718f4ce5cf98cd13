#pragma once

// The platform's side of kernel registry entries: the user-space registry entry each one stands
// for, and kernel entries for entries another layer made (the bus's USB nubs).

#include <IOKit/IORegistryEntry.h>

#include <IOKit/platform/Registry.h>

#include <memory>

inline namespace kernel {

struct IORegistryEntryAccess
{
    static std::shared_ptr<IOKitPlatform::RegistryEntry> platformEntry(const IORegistryEntry* entry);
    // Initialises `entry` as the kernel face of an existing registry entry; the entry's
    // properties are read from it.
    static bool initWithPlatformEntry(IORegistryEntry* entry,
                                      std::shared_ptr<IOKitPlatform::RegistryEntry> platform);
    // Makes `parent` the kernel parent of `entry`, leaving the registry entries where they are (as
    // they are for kernel nubs of another layer's entries).
    static bool linkToParent(IORegistryEntry* entry, IORegistryEntry* parent);
    // The children in attach order, each retained; the caller releases them.
    static std::vector<IORegistryEntry*> copyChildren(const IORegistryEntry* entry);
};

} // namespace kernel
