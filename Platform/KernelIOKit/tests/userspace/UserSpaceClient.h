#pragma once

// A user-space client of kernel services, for tests built with KERNEL: connections by number,
// ports by name.

#include <IOKit/IOReturn.h>
#include <IOKit/platform/Registry.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace KernelIOKitTestSupport {

// IOServiceOpen; the connection's number, 0 on failure with the code in `result`.
uint32_t openConnection(const std::shared_ptr<IOKitPlatform::RegistryEntry>& entry, uint32_t type,
                        IOReturn* result);
IOReturn callStruct(uint32_t connection, uint32_t selector, const void* input, size_t inputSize, void* output,
                    size_t* outputSize);
IOReturn mapMemory(uint32_t connection, uint32_t memoryType, uint64_t* address, uint64_t* size);
IOReturn unmapMemory(uint32_t connection, uint32_t memoryType, uint64_t address);
IOReturn setNotificationPort(uint32_t connection, uint32_t portName, uintptr_t reference);
IOReturn closeConnection(uint32_t connection);

// A receive right of this process.
class UserSpacePort
{
public:
    UserSpacePort();
    ~UserSpacePort();
    UserSpacePort(const UserSpacePort&) = delete;
    UserSpacePort& operator=(const UserSpacePort&) = delete;

    uint32_t name() const { return fName; }
    // The next message, waiting at most 30 s of real time; empty when none came.
    std::vector<uint8_t> receive();
    void destroy();

private:
    uint32_t fName = 0;
};

} // namespace KernelIOKitTestSupport
