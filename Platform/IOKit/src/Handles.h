#pragma once

#include <IOKit/IOTypes.h>

#include <memory>
#include <mutex>
#include <unordered_map>

namespace IOKitPlatform {
class RegistryEntry;
} // namespace IOKitPlatform

namespace IOKit {

using IOKitPlatform::RegistryEntry;

// What a handle names: a registry entry, an iterator, a connection or a notifier.
class HandleObject
{
public:
    virtual ~HandleObject() = default;
    // The process has let go of its last reference; called without the table's lock.
    virtual void lastReferenceReleased() {}
};

class EntryHandle final : public HandleObject
{
public:
    explicit EntryHandle(std::shared_ptr<RegistryEntry> entry) : fEntry(std::move(entry)) {}

    const std::shared_ptr<RegistryEntry> fEntry;
};

// The process's handle values with their reference counts. As with Mach port names, a value is
// never reused, and an entry has one value while any reference to it exists.
class HandleTable
{
public:
    static HandleTable& shared();

    // A new handle with one reference.
    io_object_t add(std::shared_ptr<HandleObject> object);
    // The entry's handle, with one more reference.
    io_object_t retainEntry(const std::shared_ptr<RegistryEntry>& entry);

    std::shared_ptr<HandleObject> find(io_object_t handle);
    kern_return_t retain(io_object_t handle);
    kern_return_t release(io_object_t handle);
    uint32_t userCount(io_object_t handle);

private:
    struct Slot
    {
        std::shared_ptr<HandleObject> fObject;
        uint32_t fCount;
        const RegistryEntry* fEntry;
    };

    HandleTable() = default;
    io_object_t insert(std::shared_ptr<HandleObject> object, const RegistryEntry* entry);

    std::mutex fLock;
    std::unordered_map<io_object_t, Slot> fSlots;
    std::unordered_map<const RegistryEntry*, io_object_t> fEntryHandles;
    io_object_t fLastHandle = 0;
};

template <typename T>
std::shared_ptr<T> findHandle(io_object_t handle)
{
    return std::dynamic_pointer_cast<T>(HandleTable::shared().find(handle));
}

// The entry a handle names, or null.
std::shared_ptr<RegistryEntry> findEntry(io_object_t handle);

} // namespace IOKit
