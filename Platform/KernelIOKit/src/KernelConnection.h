#pragma once

// The two halves of the user-client seam meet here. The kernel half (built with KERNEL) serves
// connections to kernel services; the user half (built without it) plugs them into the registry's
// IOServiceOpen seam and carries kernel messages to user-space ports. Nothing here has a Mach type,
// whose meaning differs between the halves.

#include <IOKit/IOReturn.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace IOKitPlatform {
class RegistryEntry;
} // namespace IOKitPlatform

namespace KernelIOKitPlatform {

class KernelConnection
{
public:
    virtual ~KernelConnection() = default;
    virtual IOReturn callStructMethod(uint32_t selector, const void* input, size_t inputSize, void* output,
                                      size_t* outputSize) = 0;
    // The memfd and length of a memory type; the descriptor stays the connection's.
    virtual IOReturn sharedMemory(uint32_t memoryType, int* fd, uint64_t* length) = 0;
    // `portName` is the user-space name of the port.
    virtual IOReturn registerNotificationPort(uint32_t portName, uint32_t type, uintptr_t reference) = 0;
    virtual void close() = 0;
};

using KernelOpener = std::function<IOReturn(uint32_t type, std::shared_ptr<KernelConnection>* connection)>;

// IOServiceOpen on the entry asks the opener; null removes it. (User half.)
void setKernelOpener(const std::shared_ptr<IOKitPlatform::RegistryEntry>& entry, KernelOpener opener);

// Sends `size` bytes starting with a user-space message header to the port its remote field names,
// as mach_msg with MACH_SEND_MSG and `option`. (User half.)
int32_t sendUserMessage(void* message, uint32_t size, int32_t option, uint32_t timeout);

} // namespace KernelIOKitPlatform
