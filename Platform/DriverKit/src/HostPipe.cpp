#include "QueueState.h"
#include "USBFailures.h"
#include "USBHost.h"

#include <USBDriverKit/IOUSBHostDevice.h>
#include <USBDriverKit/IOUSBHostInterface.h>
#include <USBDriverKit/IOUSBHostPipe.h>

#include <SimUSB/HostDevice.h>

namespace DriverKitPlatform {

// One transfer in flight: what it holds until its completion has run. Records are pooled per pipe.
struct PendingIO
{
    PendingIO* next = nullptr;
    IOUSBHostPipe* pipe = nullptr;
    OSAction* action = nullptr;
    IOMemoryDescriptor* data = nullptr;
    IOMemoryDescriptor* frames = nullptr;

    // On the bus's worker.
    static void busCompleted(void* context, const SimUSB::TransferResult& result)
    {
        auto* pending = static_cast<PendingIO*>(context);
        OSAction::Arguments arguments;
        arguments.status = DriverKitPlatform::usbStatus(result.status);
        arguments.values[0] = result.actual;
        arguments.values[1] = result.timestamp;
        pending->action->deliver(arguments, &PendingIO::delivered, pending);
    }

    // On the action's queue, after the handler.
    static void delivered(void* context)
    {
        auto* pending = static_cast<PendingIO*>(context);
        pending->pipe->completed(pending);
    }
};

} // namespace DriverKitPlatform

using DriverKitPlatform::PendingIO;

namespace {

constexpr int kPendingBatch = 32;

} // namespace

IOUSBHostPipe* IOUSBHostPipe::make(IOUSBHostInterface* interface, uint64_t generation,
                                   const IOUSBEndpointDescriptor& descriptor)
{
    auto* pipe = new IOUSBHostPipe;
    interface->retain();
    pipe->fInterface = interface;
    pipe->fGeneration = generation;
    pipe->fDescriptor = descriptor;
    return pipe;
}

void IOUSBHostPipe::free()
{
    while (PendingIO* pending = fFree) {
        fFree = pending->next;
        delete pending;
    }
    OSSafeReleaseNULL(fCompletionQueue);
    OSSafeReleaseNULL(fInterface);
    OSObject::free();
}

// A pipe of an alternate the interface has since left, or of a closed interface, is dead.
kern_return_t IOUSBHostPipe::usable()
{
    return fInterface->platformGeneration() == fGeneration ? kIOReturnSuccess : kIOReturnNotAttached;
}

PendingIO* IOUSBHostPipe::takePending(OSAction* completion)
{
    // The queue the completions run on, for Abort to know when it must not wait.
    IODispatchQueue* queue = completion->copyQueue();
    PendingIO* pending;
    {
        std::lock_guard lock(fLock);
        // Grown by a batch, so that a burst of transfers does not allocate once streaming runs.
        if (fFree == nullptr) {
            for (int i = 0; i < kPendingBatch; ++i) {
                auto* fresh = new PendingIO;
                fresh->next = fFree;
                fFree = fresh;
            }
        }
        pending = fFree;
        fFree = pending->next;
        pending->next = nullptr;
        std::swap(fCompletionQueue, queue);
        ++fOutstanding;
    }
    if (queue != nullptr) {
        queue->release();
    }
    retain();
    completion->retain();
    pending->pipe = this;
    pending->action = completion;
    return pending;
}

void IOUSBHostPipe::completed(PendingIO* pending)
{
    OSSafeReleaseNULL(pending->action);
    OSSafeReleaseNULL(pending->data);
    OSSafeReleaseNULL(pending->frames);
    {
        std::lock_guard lock(fLock);
        pending->next = fFree;
        fFree = pending;
        --fOutstanding;
        fIdle.notify_all();
    }
    release();
}

kern_return_t IOUSBHostPipe::GetDescriptors(IOUSBStandardEndpointDescriptors* descriptors)
{
    if (IOReturn injected =
            DriverKitPlatform::injectedFailure(this, DriverKitPlatform::USBCall::GetDescriptors)) {
        return injected;
    }
    if (descriptors == nullptr) {
        return kIOReturnBadArgument;
    }
    descriptors->descriptor = fDescriptor;
    return kIOReturnSuccess;
}

kern_return_t IOUSBHostPipe::AsyncIO(IOMemoryDescriptor* dataBuffer, uint32_t dataBufferLength,
                                     OSAction* completion, uint32_t completionTimeoutMs)
{
    if (IOReturn injected = DriverKitPlatform::injectedFailure(this, DriverKitPlatform::USBCall::AsyncIO)) {
        return injected;
    }
    if (completion == nullptr || completion->kind() != OSAction::Kind::AsyncIO ||
        (dataBufferLength != 0 &&
         (dataBuffer == nullptr || dataBuffer->platformLength() < dataBufferLength))) {
        return kIOReturnBadArgument;
    }
    if (kern_return_t status = usable(); status != kIOReturnSuccess) {
        return status;
    }
    PendingIO* pending = takePending(completion);
    if (dataBuffer != nullptr) {
        dataBuffer->retain();
        pending->data = dataBuffer;
    }
    const auto& device = fInterface->platformDeviceHandle();
    const SimUSB::Status status =
        device->submit(fDescriptor.bEndpointAddress, dataBuffer ? dataBuffer->platformBytes() : nullptr,
                       dataBufferLength, completionTimeoutMs, {&PendingIO::busCompleted, pending});
    if (status != SimUSB::kSuccess) {
        completed(pending);
        return DriverKitPlatform::usbStatus(status);
    }
    return kIOReturnSuccess;
}

kern_return_t IOUSBHostPipe::IsochIO(IOMemoryDescriptor* dataBuffer, IOMemoryDescriptor* frameList,
                                     uint64_t firstFrameNumber, OSAction* completion)
{
    if (IOReturn injected = DriverKitPlatform::injectedFailure(this, DriverKitPlatform::USBCall::IsochIO)) {
        return injected;
    }
    if (completion == nullptr || completion->kind() != OSAction::Kind::AsyncIsochIO ||
        dataBuffer == nullptr || frameList == nullptr ||
        frameList->platformLength() < sizeof(IOUSBIsochronousFrame)) {
        return kIOReturnBadArgument;
    }
    if (kern_return_t status = usable(); status != kIOReturnSuccess) {
        return status;
    }
    PendingIO* pending = takePending(completion);
    dataBuffer->retain();
    pending->data = dataBuffer;
    frameList->retain();
    pending->frames = frameList;
    const auto& device = fInterface->platformDeviceHandle();
    const SimUSB::Status status = device->submitIsochronous(
        fDescriptor.bEndpointAddress, dataBuffer->platformBytes(), dataBuffer->platformLength(),
        reinterpret_cast<SimUSB::IsochronousFrame*>(frameList->platformBytes()),
        uint32_t(frameList->platformLength() / sizeof(IOUSBIsochronousFrame)), firstFrameNumber,
        {&PendingIO::busCompleted, pending});
    if (status != SimUSB::kSuccess) {
        completed(pending);
        return DriverKitPlatform::usbStatus(status);
    }
    return kIOReturnSuccess;
}

kern_return_t IOUSBHostPipe::Abort(IOOptionBits options, IOReturn withError, IOService*)
{
    fInterface->platformDeviceHandle()->abort(fDescriptor.bEndpointAddress, uint32_t(withError));
    if (options != kIOUSBAbortSynchronous) {
        return kIOReturnSuccess;
    }
    std::unique_lock lock(fLock);
    // On the completions' own queue, waiting would wait forever.
    if (fCompletionQueue != nullptr && fCompletionQueue->OnQueue()) {
        return kIOReturnSuccess;
    }
    fIdle.wait(lock, [&] { return fOutstanding == 0; });
    return kIOReturnSuccess;
}
