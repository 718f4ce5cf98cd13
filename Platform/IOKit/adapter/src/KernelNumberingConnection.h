#pragma once

#include <DriverKit/IOService.h>
#include <DriverKit/OSAction.h>
#include <DriverKit/platform/UserClientConnection.h>

#include <IOKit/platform/UserClient.h>

#include <memory>
#include <mutex>

namespace IOKitPlatform {

// One open of a driver-extension service in the kernel numbering, over the plain connection.
class KernelNumberingConnection : public UserClientConnection
{
public:
    static constexpr size_t kRecordBytes = 4132;

    explicit KernelNumberingConnection(std::shared_ptr<DriverKitPlatform::UserClientConnection> plain);
    ~KernelNumberingConnection() override;

    IOReturn callStructMethod(uint32_t selector, const void* input, size_t inputSize, void* output,
                              size_t* outputSize) override;
    IOReturn sharedMemory(uint32_t memoryType, SharedMemory* memory) override;
    IOReturn registerNotificationPort(mach_port_t port, uint32_t type, uintptr_t reference) override;
    void close() override;

private:
    static void notificationCompleted(OSObject* target, OSAction* action, IOReturn status,
                                      const uint64_t* asyncData, uint32_t asyncDataCount);
    // On the adapter's queue: one registration outstanding at most.
    void registerForNotification();
    void deliver(IOReturn status);

    std::shared_ptr<DriverKitPlatform::UserClientConnection> fPlain;
    // The completion's target: a service of the adapter's own, whose queue runs the completions and
    // the registrations.
    IOService* fTarget = nullptr;
    IODispatchQueue* fQueue = nullptr;
    OSAction* fAction = nullptr;
    std::mutex fLock;
    mach_port_t fPort = 0;
    uint32_t fReference = 0;
    bool fPortSet = false;
    bool fOutstanding = false;
    bool fClosed = false;
    // Where the driver writes each record; read only on the adapter's queue.
    uint8_t fRecord[kRecordBytes] = {};
};

} // namespace IOKitPlatform
