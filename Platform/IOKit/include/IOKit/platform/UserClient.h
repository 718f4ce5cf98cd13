#pragma once

// The seam behind IOServiceOpen: a registry entry may carry a provider that opens user-client
// connections, and each connection serves the IOConnect calls of one open. The kernel layer, the
// driver-extension adapter and the test doubles plug in here; an adapter may translate selectors,
// sizes and notifications on the way.
//
// IOKit never holds a lock of its own while it calls a provider or a connection, so they may call
// back into the registry.

#include <IOKit/IOReturn.h>
#include <mach/port.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace IOKitPlatform {

// Memory a connection shares with its client: a memfd and the length to map. The descriptor stays
// the connection's; it needs to be open only during the sharedMemory call that hands it out.
struct SharedMemory
{
    int fd = -1;
    uint64_t length = 0;
};

class UserClientConnection
{
public:
    virtual ~UserClientConnection() = default;

    // IOConnectCallStructMethod: the client's buffers and sizes, unchanged. On entry `*outputSize`
    // is the output buffer's capacity (0 without one); the connection leaves the bytes written.
    virtual IOReturn callStructMethod(uint32_t selector, const void* input, size_t inputSize, void* output,
                                      size_t* outputSize) = 0;

    // IOConnectMapMemory64: the memory of `memoryType`. IOKit maps it MAP_SHARED at a fresh address
    // in the client, so both sides see the same bytes at different addresses. A length of 0 gives
    // the client no mapping (address 0, size 0).
    virtual IOReturn sharedMemory(uint32_t memoryType, SharedMemory* memory) = 0;

    // IOConnectSetNotificationPort: where the driver side sends its notification messages (with
    // mach_msg; a send to a port the client has since destroyed fails harmlessly).
    virtual IOReturn registerNotificationPort(mach_port_t port, uint32_t type, uintptr_t reference) = 0;

    // The connection is over: the client closed it (IOServiceClose, or its last handle reference)
    // or the service terminated. Called once; no call is begun after it, though one begun before
    // may still be running on another thread.
    virtual void close() = 0;
};

class UserClientProvider
{
public:
    virtual ~UserClientProvider() = default;

    // IOServiceOpen: a new connection for `type`, or the error the client receives
    // (kIOReturnUnsupported for a type the provider does not serve). Called on the opener's thread.
    virtual IOReturn open(uint32_t type, std::shared_ptr<UserClientConnection>* connection) = 0;
};

} // namespace IOKitPlatform
