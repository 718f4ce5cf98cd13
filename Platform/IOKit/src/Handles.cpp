#include "Handles.h"

#include <IOKit/IOReturn.h>

namespace IOKit {

HandleTable& HandleTable::shared()
{
    // Never destroyed: handles may be released from threads that outlive static destruction.
    static HandleTable* table = new HandleTable;
    return *table;
}

io_object_t HandleTable::add(std::shared_ptr<HandleObject> object)
{
    std::lock_guard lock(fLock);
    return insert(std::move(object), nullptr);
}

io_object_t HandleTable::retainEntry(const std::shared_ptr<RegistryEntry>& entry)
{
    std::lock_guard lock(fLock);
    auto known = fEntryHandles.find(entry.get());
    if (known != fEntryHandles.end()) {
        ++fSlots.at(known->second).fCount;
        return known->second;
    }
    io_object_t handle = insert(std::make_shared<EntryHandle>(entry), entry.get());
    fEntryHandles.emplace(entry.get(), handle);
    return handle;
}

io_object_t HandleTable::insert(std::shared_ptr<HandleObject> object, const RegistryEntry* entry)
{
    io_object_t handle = ++fLastHandle;
    fSlots.emplace(handle, Slot{std::move(object), 1, entry});
    return handle;
}

std::shared_ptr<HandleObject> HandleTable::find(io_object_t handle)
{
    std::lock_guard lock(fLock);
    auto slot = fSlots.find(handle);
    return slot != fSlots.end() ? slot->second.fObject : nullptr;
}

kern_return_t HandleTable::retain(io_object_t handle)
{
    std::lock_guard lock(fLock);
    auto slot = fSlots.find(handle);
    if (slot == fSlots.end()) {
        return kIOReturnBadArgument;
    }
    ++slot->second.fCount;
    return kIOReturnSuccess;
}

kern_return_t HandleTable::release(io_object_t handle)
{
    std::shared_ptr<HandleObject> released;
    {
        std::lock_guard lock(fLock);
        auto slot = fSlots.find(handle);
        if (slot == fSlots.end()) {
            return kIOReturnBadArgument;
        }
        if (--slot->second.fCount > 0) {
            return kIOReturnSuccess;
        }
        released = std::move(slot->second.fObject);
        if (slot->second.fEntry != nullptr) {
            fEntryHandles.erase(slot->second.fEntry);
        }
        fSlots.erase(slot);
    }
    released->lastReferenceReleased();
    return kIOReturnSuccess;
}

uint32_t HandleTable::userCount(io_object_t handle)
{
    std::lock_guard lock(fLock);
    auto slot = fSlots.find(handle);
    return slot != fSlots.end() ? slot->second.fCount : 0;
}

std::shared_ptr<RegistryEntry> findEntry(io_object_t handle)
{
    auto entry = findHandle<EntryHandle>(handle);
    return entry ? entry->fEntry : nullptr;
}

} // namespace IOKit
