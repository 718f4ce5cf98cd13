#pragma once

// The connection IOServiceOpen makes to a DriverKit service: it carries the IOConnect calls to the
// user client on the client's Default queue. Adapters that plug into the same seam (another method
// numbering, a notification port) wrap it and may pass a completion action.

#include <DriverKit/IOUserClient.h>

#include <IOKit/platform/UserClient.h>

#include <mutex>

namespace DriverKitPlatform {

class UserClientConnection : public IOKitPlatform::UserClientConnection
{
public:
    explicit UserClientConnection(IOUserClient* client);
    ~UserClientConnection() override;

    // Inputs of 1 to 4096 bytes arrive as an OSData copy, larger ones as a descriptor over the caller's
    // bytes; outputs of 1 to 4096 bytes as an empty OSData of which at most outputSize bytes are copied
    // back (outputSize becomes that count), larger ones as a descriptor over the caller's buffer
    // (outputSize unchanged).
    IOReturn callStructMethod(uint32_t selector, const void* input, size_t inputSize, void* output,
                              size_t* outputSize) override;
    IOReturn callStructMethod(uint32_t selector, const void* input, size_t inputSize, void* output,
                              size_t* outputSize, OSAction* completion);
    IOReturn sharedMemory(uint32_t memoryType, IOKitPlatform::SharedMemory* memory) override;
    // DriverKit clients are told things through asynchronous completions.
    IOReturn registerNotificationPort(mach_port_t port, uint32_t type, uintptr_t reference) override;
    void close() override;

    IOUserClient* client() const { return fClient; }

private:
    std::mutex fLock;
    IOUserClient* fClient;
    bool fClosed = false;
};

} // namespace DriverKitPlatform
