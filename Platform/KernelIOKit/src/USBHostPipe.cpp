#include "Failures.h"
#include "USBCompletions.h"
#include "USBHostAccess.h"

#include <IOKit/IOWorkLoop.h>

#include <condition_variable>
#include <vector>

OSDefineMetaClassAndStructors(IOUSBHostPipe, OSObject)
    OSDefineMetaClassAndStructors(IOUSBCompletionSource, IOEventSource)

        inline namespace kernel
{

    struct IOUSBHostPipeState
    {
        IOUSBHostDevice* fDevice = nullptr;
        SimUSB::EndpointInfo fEndpoint;
        StandardUSB::EndpointDescriptor fDescriptor{};
        std::mutex fMutex;
        std::condition_variable fIdle;
        std::vector<IOUSBTransfer> fPool;
        IOUSBTransfer* fFree = nullptr;
        int fPending = 0;
    };

} // namespace kernel

namespace {

// More transfers than any driver keeps queued on one pipe.
constexpr size_t kTransfersPerPipe = 64;

IOUSBTransfer* takeTransfer(IOUSBHostPipeState& state)
{
    std::lock_guard lock(state.fMutex);
    IOUSBTransfer* transfer = state.fFree;
    if (transfer) {
        state.fFree = transfer->fNext;
        transfer->fNext = nullptr;
        ++state.fPending;
    }
    return transfer;
}

void returnTransfer(IOUSBHostPipeState& state, IOUSBTransfer* transfer)
{
    {
        std::lock_guard lock(state.fMutex);
        transfer->fNext = state.fFree;
        state.fFree = transfer;
        --state.fPending;
    }
    state.fIdle.notify_all();
}

void busCompleted(void* context, const SimUSB::TransferResult& result)
{
    auto* transfer = static_cast<IOUSBTransfer*>(context);
    transfer->fStatus = IOReturn(result.status);
    transfer->fBytes = result.actual;
    IOUSBHostPipeState& state = *IOUSBHostAccess::pipeState(transfer->fPipe);
    IOUSBHostAccess::core(state.fDevice)->fCompletions->deliver(transfer);
}

} // namespace

IOUSBCompletionSource* IOUSBCompletionSource::withOwner(OSObject* owner)
{
    auto* source = new IOUSBCompletionSource;
    if (!source->init(owner)) {
        source->release();
        return nullptr;
    }
    return source;
}

void IOUSBCompletionSource::deliver(IOUSBTransfer* transfer)
{
    // Signalled before the transfer can be taken: once its completion has run, the device and its
    // loop may be gone.
    std::lock_guard lock(fMutex);
    transfer->fNext = nullptr;
    if (fLast) {
        fLast->fNext = transfer;
    } else {
        fFirst = transfer;
    }
    fLast = transfer;
    signalWorkAvailable();
}

bool IOUSBCompletionSource::checkForWork()
{
    IOUSBTransfer* transfer = nullptr;
    {
        std::lock_guard lock(fMutex);
        transfer = fFirst;
        if (!transfer) {
            return false;
        }
        fFirst = transfer->fNext;
        if (!fFirst) {
            fLast = nullptr;
        }
    }
    // The record goes back only after the completion ran, so a synchronous abort returns after its
    // aborted completions.
    IOUSBHostPipe* pipe = transfer->fPipe;
    if (transfer->fIsochronous) {
        const IOUSBHostIsochronousCompletion completion = transfer->fIsochronousCompletion;
        if (completion.action) {
            completion.action(completion.owner, completion.parameter, transfer->fStatus, transfer->fFrames);
        }
    } else {
        const IOUSBHostCompletion completion = transfer->fCompletion;
        if (completion.action) {
            completion.action(completion.owner, completion.parameter, transfer->fStatus, transfer->fBytes);
        }
    }
    returnTransfer(*IOUSBHostAccess::pipeState(pipe), transfer);
    pipe->release();
    return true;
}

const StandardUSB::EndpointDescriptor* IOUSBHostPipe::getEndpointDescriptor() const
{
    return &fPipeState->fDescriptor;
}

IOReturn IOUSBHostPipe::io(IOMemoryDescriptor* buffer, uint32_t length, IOUSBHostCompletion* completion,
                           uint32_t completionTimeoutMs)
{
    auto* bytes = buffer ? static_cast<uint8_t*>(buffer->getKernelAddress()) : nullptr;
    if (!completion || (length > 0 && (!bytes || length > buffer->getLength()))) {
        return kIOReturnBadArgument;
    }
    if (const IOReturn injected =
            KernelIOKitPlatform::injectedFailure(this, KernelIOKitPlatform::FailingCall::IO)) {
        return injected;
    }
    IOUSBTransfer* transfer = takeTransfer(*fPipeState);
    if (!transfer) {
        return kIOReturnNoResources;
    }
    transfer->fPipe = this;
    transfer->fIsochronous = false;
    transfer->fCompletion = *completion;
    retain();
    IOUSBHostDeviceCore* core = IOUSBHostAccess::core(fPipeState->fDevice);
    const SimUSB::Status status = core->fBus->submit(fPipeState->fEndpoint.address, bytes, length,
                                                     completionTimeoutMs, {busCompleted, transfer});
    if (status != SimUSB::kSuccess) {
        returnTransfer(*fPipeState, transfer);
        release();
    }
    return IOReturn(status);
}

IOReturn IOUSBHostPipe::io(IOMemoryDescriptor* buffer, IOUSBHostIsochronousFrame* frameList,
                           uint32_t frameListCount, uint64_t firstFrameNumber,
                           IOUSBHostIsochronousCompletion* completion)
{
    auto* bytes = buffer ? static_cast<uint8_t*>(buffer->getKernelAddress()) : nullptr;
    if (!completion || !frameList || frameListCount == 0 || !bytes) {
        return kIOReturnBadArgument;
    }
    if (const IOReturn injected =
            KernelIOKitPlatform::injectedFailure(this, KernelIOKitPlatform::FailingCall::IO)) {
        return injected;
    }
    IOUSBTransfer* transfer = takeTransfer(*fPipeState);
    if (!transfer) {
        return kIOReturnNoResources;
    }
    transfer->fPipe = this;
    transfer->fIsochronous = true;
    transfer->fIsochronousCompletion = *completion;
    transfer->fFrames = frameList;
    retain();
    IOUSBHostDeviceCore* core = IOUSBHostAccess::core(fPipeState->fDevice);
    const SimUSB::Status status =
        core->fBus->submitIsochronous(fPipeState->fEndpoint.address, bytes, buffer->getLength(),
                                      reinterpret_cast<SimUSB::IsochronousFrame*>(frameList), frameListCount,
                                      firstFrameNumber, {busCompleted, transfer});
    if (status != SimUSB::kSuccess) {
        returnTransfer(*fPipeState, transfer);
        release();
    }
    return IOReturn(status);
}

IOReturn IOUSBHostPipe::abort(IOOptionBits, IOReturn withError, IOService*)
{
    IOUSBHostDeviceCore* core = IOUSBHostAccess::core(fPipeState->fDevice);
    core->fBus->abort(fPipeState->fEndpoint.address, SimUSB::Status(withError));
    if (core->fWorkLoop->inGate()) {
        return kIOReturnSuccess;
    }
    std::unique_lock lock(fPipeState->fMutex);
    fPipeState->fIdle.wait(lock, [&] { return fPipeState->fPending == 0; });
    return kIOReturnSuccess;
}

void IOUSBHostPipe::free()
{
    if (fPipeState) {
        OSSafeReleaseNULL(fPipeState->fDevice);
        delete fPipeState;
        fPipeState = nullptr;
    }
    OSObject::free();
}

namespace KernelIOKitPlatform {

IOUSBHostPipe* createPipe(IOUSBHostDevice* device, const SimUSB::EndpointInfo& endpoint)
{
    auto* pipe = new IOUSBHostPipe;
    auto* state = new IOUSBHostPipeState;
    device->retain();
    state->fDevice = device;
    state->fEndpoint = endpoint;
    state->fDescriptor = {sizeof(StandardUSB::EndpointDescriptor),
                          StandardUSB::kDescriptorTypeEndpoint,
                          endpoint.address,
                          uint8_t(endpoint.type),
                          endpoint.wMaxPacketSize,
                          endpoint.bInterval};
    state->fPool.resize(kTransfersPerPipe);
    for (IOUSBTransfer& transfer : state->fPool) {
        transfer.fNext = state->fFree;
        state->fFree = &transfer;
    }
    IOUSBHostAccess::setPipeState(pipe, state);
    return pipe;
}

} // namespace KernelIOKitPlatform
