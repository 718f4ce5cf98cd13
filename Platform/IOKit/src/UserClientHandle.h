#pragma once

#include "Handles.h"

#include <IOKit/platform/UserClient.h>

#include <memory>
#include <mutex>
#include <vector>

namespace IOKit {

using IOKitPlatform::UserClientConnection;

// An io_connect_t opened with IOServiceOpen: the provider's connection and the client's mappings.
// The connection is closed once, by the client or by the service's termination; after termination
// calls fail with kIOReturnNoDevice, after a close with kIOReturnNotOpen.
class UserClientHandle final : public HandleObject
{
public:
    explicit UserClientHandle(std::shared_ptr<UserClientConnection> connection)
        : fConnection(std::move(connection))
    {}

    IOReturn callStructMethod(uint32_t selector, const void* input, size_t inputSize, void* output,
                              size_t* outputSize);
    IOReturn map(uint32_t memoryType, mach_vm_address_t* address, mach_vm_size_t* size);
    IOReturn unmap(uint32_t memoryType, mach_vm_address_t address);
    IOReturn setNotificationPort(uint32_t type, mach_port_t port, uintptr_t reference);

    // The client is done: its mappings go, and the connection closes.
    void close();
    // Calls fail from now on; the client's mappings stay until it unmaps or closes.
    void serviceTerminated();
    void lastReferenceReleased() override { close(); }

private:
    struct Mapping
    {
        mach_vm_address_t fAddress;
        mach_vm_size_t fSize;
        uint32_t fMemoryType;
    };

    // The connection for one call, or the error when it is gone.
    IOReturn acquire(std::shared_ptr<UserClientConnection>* connection);
    // Ends the connection once; the caller unmaps what it took.
    std::vector<Mapping> end(bool closing);
    static void unmapAll(const std::vector<Mapping>& mappings);

    std::mutex fLock;
    std::shared_ptr<UserClientConnection> fConnection;
    bool fClosed = false;
    bool fTerminated = false;
    std::vector<Mapping> fMappings;
};

} // namespace IOKit
