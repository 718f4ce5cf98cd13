#include "KernelNumberingConnection.h"

#include <mach/message.h>
#include <os/log.h>

#include <cstring>
#include <vector>

namespace IOKitPlatform {

namespace {

// A kernel method as the kernel extension's table has it, and the driver extension's method that
// serves it with the sizes it takes.
struct Row
{
    size_t kernelInput;
    size_t kernelOutput;
    uint32_t selector;
    size_t driverInput;
    size_t driverOutput;
};

constexpr Row kRows[] = {
    {76, 76, 0, 76, 4172}, {8, 4, 1, 8, 4100},   {4, 8, 2, 4, 4104},       {20, 17, 4, 20, 4113},
    {36, 17, 5, 36, 4113}, {28, 4, 6, 28, 4100}, {2052, 2052, 7, 0, 6148}, {4, 2052, 8, 4, 6148},
    {0, 8, 9, 0, 4104},    {2, 0, 10, 2, 0},
};
constexpr uint32_t kKernelMethods = sizeof(kRows) / sizeof(kRows[0]);

constexpr uint32_t kNotificationSelector = 3;
constexpr size_t kMessageHeaderBytes = sizeof(mach_msg_header_t);
constexpr size_t kReferenceOffset = 24;
constexpr size_t kRecordBodyOffset = 28;
static_assert(kMessageHeaderBytes == kReferenceOffset);

} // namespace

KernelNumberingConnection::KernelNumberingConnection(
    std::shared_ptr<DriverKitPlatform::UserClientConnection> plain)
    : fPlain(std::move(plain))
{
    auto* target = new IOService;
    if (!target->init() ||
        IODispatchQueue::Create("KernelNumberingAdapter", 0, 0, &fQueue) != kIOReturnSuccess ||
        target->SetDispatchQueue("Default", fQueue) != kIOReturnSuccess ||
        OSAction::Create(target, "Default", sizeof(KernelNumberingConnection*), notificationCompleted,
                         &fAction) != kIOReturnSuccess) {
        os_log(OS_LOG_DEFAULT, "Kernel numbering adapter: no notification action; notifications are off");
        fAction = nullptr;
    } else {
        *static_cast<KernelNumberingConnection**>(fAction->GetReference()) = this;
    }
    fTarget = target;
}

KernelNumberingConnection::~KernelNumberingConnection()
{
    close();
    OSSafeReleaseNULL(fAction);
    OSSafeReleaseNULL(fTarget);
    OSSafeReleaseNULL(fQueue);
}

IOReturn KernelNumberingConnection::callStructMethod(uint32_t selector, const void* input, size_t inputSize,
                                                     void* output, size_t* outputSize)
{
    if (selector >= kKernelMethods) {
        return kIOReturnUnsupported;
    }
    const Row& row = kRows[selector];
    const size_t outputCapacity = outputSize != nullptr ? *outputSize : 0;
    if (inputSize != row.kernelInput || outputCapacity != row.kernelOutput ||
        (row.kernelInput != 0 && input == nullptr) || (row.kernelOutput != 0 && output == nullptr)) {
        return kIOReturnBadArgument;
    }
    std::vector<uint8_t> result(row.driverOutput, 0);
    size_t resultSize = result.size();
    const IOReturn status =
        fPlain->callStructMethod(row.selector, row.driverInput != 0 ? input : nullptr, row.driverInput,
                                 result.empty() ? nullptr : result.data(), &resultSize);
    if (row.kernelOutput != 0) {
        std::memcpy(output, result.data(), row.kernelOutput);
    }
    if (outputSize != nullptr) {
        *outputSize = row.kernelOutput;
    }
    return status;
}

IOReturn KernelNumberingConnection::sharedMemory(uint32_t memoryType, SharedMemory* memory)
{
    return fPlain->sharedMemory(memoryType, memory);
}

IOReturn KernelNumberingConnection::registerNotificationPort(mach_port_t port, uint32_t, uintptr_t reference)
{
    if (fAction == nullptr) {
        return kIOReturnNoMemory;
    }
    std::lock_guard lock(fLock);
    if (fClosed) {
        return kIOReturnNotAttached;
    }
    fPort = port;
    fReference = static_cast<uint32_t>(reference);
    fPortSet = true;
    if (!fOutstanding) {
        fQueue->DispatchAsync([this] { registerForNotification(); });
    }
    return kIOReturnSuccess;
}

void KernelNumberingConnection::registerForNotification()
{
    {
        std::lock_guard lock(fLock);
        if (fClosed || fOutstanding || !fPortSet) {
            return;
        }
        fOutstanding = true;
    }
    size_t recordSize = kRecordBytes;
    const IOReturn status =
        fPlain->callStructMethod(kNotificationSelector, nullptr, 0, fRecord, &recordSize, fAction);
    if (status != kIOReturnSuccess) {
        os_log(OS_LOG_DEFAULT, "Kernel numbering adapter: notification registration refused (%08X)",
               static_cast<unsigned>(status));
        std::lock_guard lock(fLock);
        fOutstanding = false;
    }
}

void KernelNumberingConnection::notificationCompleted(OSObject*, OSAction* action, IOReturn status,
                                                      const uint64_t*, uint32_t)
{
    (*static_cast<KernelNumberingConnection**>(action->GetReference()))->deliver(status);
}

void KernelNumberingConnection::deliver(IOReturn status)
{
    alignas(8) uint8_t message[kRecordBytes] = {};
    mach_port_t port;
    {
        std::lock_guard lock(fLock);
        if (fClosed) {
            return;
        }
        // A refused registration's completion carries the refusal; it is not tried again here.
        if (status != kIOReturnSuccess) {
            os_log(OS_LOG_DEFAULT, "Kernel numbering adapter: notification registration refused (%08X)",
                   static_cast<unsigned>(status));
            fOutstanding = false;
            return;
        }
        port = fPort;
        auto* header = reinterpret_cast<mach_msg_header_t*>(message);
        header->msgh_size = kRecordBytes;
        header->msgh_remote_port = port;
        std::memcpy(message + kReferenceOffset, &fReference, sizeof(fReference));
        std::memcpy(message + kRecordBodyOffset, fRecord + kRecordBodyOffset,
                    kRecordBytes - kRecordBodyOffset);
        fOutstanding = false;
    }
    const mach_msg_return_t sent =
        mach_msg(reinterpret_cast<mach_msg_header_t*>(message), MACH_SEND_MSG | MACH_SEND_TIMEOUT,
                 kRecordBytes, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL);
    if (sent == MACH_SEND_TIMED_OUT) {
        os_log(OS_LOG_DEFAULT, "Kernel numbering adapter: notification port full, message dropped");
    }
    fQueue->DispatchAsync([this] { registerForNotification(); });
}

void KernelNumberingConnection::close()
{
    {
        std::lock_guard lock(fLock);
        if (fClosed) {
            return;
        }
        fClosed = true;
    }
    if (fAction != nullptr) {
        fAction->Cancel([] {});
    }
    // Nothing of this connection runs on its queue once this returns.
    if (fQueue != nullptr && !fQueue->OnQueue()) {
        fQueue->DispatchSync([] {});
    }
    fPlain->close();
}

} // namespace IOKitPlatform
