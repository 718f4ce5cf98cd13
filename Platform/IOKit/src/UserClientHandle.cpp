#include "UserClientHandle.h"

#include <sys/mman.h>

#include <algorithm>

namespace IOKit {

IOReturn UserClientHandle::acquire(std::shared_ptr<UserClientConnection>* connection)
{
    std::lock_guard lock(fLock);
    if (fClosed) {
        return kIOReturnNotOpen;
    }
    if (fTerminated) {
        return kIOReturnNoDevice;
    }
    *connection = fConnection;
    return kIOReturnSuccess;
}

IOReturn UserClientHandle::callStructMethod(uint32_t selector, const void* input, size_t inputSize,
                                            void* output, size_t* outputSize)
{
    std::shared_ptr<UserClientConnection> connection;
    IOReturn result = acquire(&connection);
    if (result != kIOReturnSuccess) {
        return result;
    }
    size_t noOutput = 0;
    return connection->callStructMethod(selector, input, inputSize, output,
                                        outputSize != nullptr ? outputSize : &noOutput);
}

IOReturn UserClientHandle::map(uint32_t memoryType, mach_vm_address_t* address, mach_vm_size_t* size)
{
    std::shared_ptr<UserClientConnection> connection;
    IOReturn result = acquire(&connection);
    if (result != kIOReturnSuccess) {
        return result;
    }
    IOKitPlatform::SharedMemory memory;
    result = connection->sharedMemory(memoryType, &memory);
    if (result != kIOReturnSuccess) {
        return result;
    }
    if (memory.length == 0) {
        *address = 0;
        *size = 0;
        return kIOReturnSuccess;
    }
    void* mapped = mmap(nullptr, memory.length, PROT_READ | PROT_WRITE, MAP_SHARED, memory.fd, 0);
    if (mapped == MAP_FAILED) {
        return kIOReturnVMError;
    }
    Mapping mapping{reinterpret_cast<mach_vm_address_t>(mapped), memory.length, memoryType};
    {
        std::lock_guard lock(fLock);
        if (!fClosed) {
            fMappings.push_back(mapping);
            *address = mapping.fAddress;
            *size = mapping.fSize;
            return kIOReturnSuccess;
        }
    }
    // Closed while mapping: the client never sees the region.
    munmap(mapped, memory.length);
    return kIOReturnNotOpen;
}

IOReturn UserClientHandle::unmap(uint32_t memoryType, mach_vm_address_t address)
{
    Mapping mapping{};
    {
        std::lock_guard lock(fLock);
        auto found = std::find_if(fMappings.begin(), fMappings.end(), [&](const Mapping& known) {
            return known.fAddress == address && known.fMemoryType == memoryType;
        });
        if (found == fMappings.end()) {
            return kIOReturnBadArgument;
        }
        mapping = *found;
        fMappings.erase(found);
    }
    unmapAll({mapping});
    return kIOReturnSuccess;
}

IOReturn UserClientHandle::setNotificationPort(uint32_t type, mach_port_t port, uintptr_t reference)
{
    std::shared_ptr<UserClientConnection> connection;
    IOReturn result = acquire(&connection);
    if (result != kIOReturnSuccess) {
        return result;
    }
    return connection->registerNotificationPort(port, type, reference);
}

void UserClientHandle::close()
{
    unmapAll(end(true));
}

void UserClientHandle::serviceTerminated()
{
    end(false);
}

std::vector<UserClientHandle::Mapping> UserClientHandle::end(bool closing)
{
    std::shared_ptr<UserClientConnection> connection;
    std::vector<Mapping> mappings;
    {
        std::lock_guard lock(fLock);
        connection = std::move(fConnection);
        if (closing) {
            fClosed = true;
            mappings.swap(fMappings);
        } else {
            fTerminated = true;
        }
    }
    if (connection) {
        connection->close();
    }
    return mappings;
}

void UserClientHandle::unmapAll(const std::vector<Mapping>& mappings)
{
    for (const auto& mapping : mappings) {
        munmap(reinterpret_cast<void*>(mapping.fAddress), mapping.fSize);
    }
}

} // namespace IOKit
