#include "USBPipeSession.h"

#include "USBDevices.h"

namespace IOKit {

struct PipeSession::Transfer : PortClient
{
    std::weak_ptr<PipeSession> fSession;
    IOAsyncCallback1 fCallback = nullptr;
    void* fRefcon = nullptr;
    IOReturn fResult = kIOReturnSuccess;
    uint32_t fActual = 0;

    void deliver(uint32_t, intptr_t) override
    {
        if (auto session = fSession.lock()) {
            session->delivered(this);
        }
        fCallback(fRefcon, fResult, reinterpret_cast<void*>(uintptr_t(fActual)));
    }
};

PipeSession::PipeSession(std::shared_ptr<SimUSB::HostDevice> device, std::vector<uint8_t> endpoints)
    : fDevice(std::move(device)), fEndpoints(std::move(endpoints))
{}

PipeSession::~PipeSession()
{
    if (fPort) {
        fPort->destroy();
    }
}

CFRunLoopSourceRef PipeSession::eventSource()
{
    std::lock_guard lock(fLock);
    if (!fPort) {
        fPort = NotificationPort::create();
    }
    return fPort ? fPort->runLoopSource(USBDevices::shared().completionSourceOrder()) : nullptr;
}

bool PipeSession::isOpen() const
{
    std::lock_guard lock(fLock);
    return fOpen;
}

void PipeSession::open()
{
    std::lock_guard lock(fLock);
    fOpen = true;
}

void PipeSession::close()
{
    {
        std::lock_guard lock(fLock);
        if (!fOpen) {
            return;
        }
        fOpen = false;
        for (auto& [raw, transfer] : fLive) {
            fPort->withdraw(*transfer);
        }
        fLive.clear();
    }
    for (uint8_t endpoint : fEndpoints) {
        fDevice->abort(endpoint, kIOReturnAborted);
    }
}

IOReturn PipeSession::submit(uint8_t endpoint, void* buffer, UInt32 size, UInt32 noDataTimeout,
                             UInt32 completionTimeout, IOAsyncCallback1 callback, void* refcon)
{
    if (callback == nullptr || (size != 0 && buffer == nullptr)) {
        return kIOReturnBadArgument;
    }
    auto transfer = std::make_shared<Transfer>();
    transfer->fSession = weak_from_this();
    transfer->fCallback = callback;
    transfer->fRefcon = refcon;
    {
        std::lock_guard lock(fLock);
        if (!fOpen) {
            return kIOReturnNotOpen;
        }
        if (!fPort) {
            return kIOReturnNoResources;
        }
        fLive[transfer.get()] = transfer;
    }
    auto* context = new std::weak_ptr<Transfer>(transfer);
    const SimUSB::Status status = fDevice->submit(endpoint, static_cast<uint8_t*>(buffer), size,
                                                  completionTimeout, {busCompleted, context}, noDataTimeout);
    if (status != SimUSB::kSuccess) {
        delete context;
        std::lock_guard lock(fLock);
        fLive.erase(transfer.get());
        return IOReturn(status);
    }
    return kIOReturnSuccess;
}

void PipeSession::busCompleted(void* context, const SimUSB::TransferResult& result)
{
    auto* weakTransfer = static_cast<std::weak_ptr<Transfer>*>(context);
    std::shared_ptr<Transfer> transfer = weakTransfer->lock();
    delete weakTransfer;
    if (!transfer) {
        return;
    }
    if (auto session = transfer->fSession.lock()) {
        session->completed(transfer.get(), result);
    }
}

void PipeSession::completed(Transfer* transfer, const SimUSB::TransferResult& result)
{
    std::lock_guard lock(fLock);
    auto found = fLive.find(transfer);
    if (found == fLive.end() || !fOpen) {
        return;
    }
    transfer->fResult = IOReturn(result.status);
    transfer->fActual = result.actual;
    fPort->post(found->second, 0, 0);
}

void PipeSession::delivered(Transfer* transfer)
{
    std::lock_guard lock(fLock);
    fLive.erase(transfer);
}

} // namespace IOKit
