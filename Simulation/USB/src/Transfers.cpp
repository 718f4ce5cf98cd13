// Queueing, completing and aborting interrupt, bulk and isochronous transfers; injected faults.

#include "BusCore.h"
#include "Dma.h"

#include <algorithm>

namespace SimUSB {

Transfer* BusCore::takeRecord()
{
    // The pool grows by a batch, so that a burst of transfers does not allocate once streaming runs.
    if (fFreeRecords == nullptr) {
        for (int i = 0; i < kRecordBatch; ++i) {
            auto* record = new Transfer;
            record->next = fFreeRecords;
            fFreeRecords = record;
        }
    }
    Transfer* record = fFreeRecords;
    fFreeRecords = record->next;
    *record = Transfer{};
    return record;
}

Transfer* BusCore::newTransfer(const std::shared_ptr<DeviceState>& device, EndpointState& endpoint,
                               uint64_t now, const Completion& completion, uint8_t* buffer)
{
    Transfer* transfer = takeRecord();
    transfer->device = device;
    transfer->endpoint = &endpoint;
    transfer->id = fNextTransferId++;
    transfer->index = endpoint.submitted++;
    transfer->submitted = now;
    transfer->completion = completion;
    transfer->buffer = buffer;
    return transfer;
}

void BusCore::enqueue(EndpointState& endpoint, Transfer* transfer, std::unique_lock<std::mutex>& lock)
{
    if (endpoint.head == nullptr) {
        endpoint.head = transfer;
    } else {
        endpoint.tail->next = transfer;
    }
    endpoint.tail = transfer;
    captureSubmit(*transfer);
    wake(lock);
}

void BusCore::wake(std::unique_lock<std::mutex>& lock)
{
    if (DarwinClock::isManual()) {
        // The alarm, set before this returns, is what a following advance finds.
        serveByAlarm(lock);
        return;
    }
    const uint64_t pass = fWorker.nextPass();
    fWorker.notify();
    fWorker.awaitPass(lock, pass);
}

void BusCore::giveBack(Transfer* transfer)
{
    transfer->device.reset();
    transfer->next = fFreeRecords;
    fFreeRecords = transfer;
}

void BusCore::unlink(EndpointState& endpoint, Transfer* transfer, Transfer* previous)
{
    if (previous != nullptr) {
        previous->next = transfer->next;
    } else {
        endpoint.head = transfer->next;
    }
    if (endpoint.tail == transfer) {
        endpoint.tail = previous;
    }
    transfer->next = nullptr;
}

void BusCore::complete(EndpointState& endpoint, Transfer* transfer, Transfer* previous, Status status)
{
    unlink(endpoint, transfer, previous);
    finish(transfer, status);
}

void BusCore::finish(Transfer* transfer, Status status)
{
    transfer->status = status;
    if (transfer->frames != nullptr) {
        // Entries the bus never reached carry the transfer's outcome.
        for (uint32_t i = transfer->nextEntry; i < transfer->frameCount; ++i) {
            transfer->frames[i].status = status;
            transfer->frames[i].completeCount = 0;
            transfer->frames[i].timeStamp = 0;
        }
    }
    if (fDoneTail != nullptr) {
        fDoneTail->next = transfer;
    } else {
        fDoneHead = transfer;
    }
    fDoneTail = transfer;
}

void BusCore::completeAll(EndpointState& endpoint, Status status)
{
    if (endpoint.head == nullptr) {
        return;
    }
    while (endpoint.head != nullptr) {
        complete(endpoint, endpoint.head, nullptr, status);
    }
    endpoint.held = false;
    fWorker.notify();
}

void BusCore::disconnectLocked(DeviceState& device)
{
    if (!device.connected) {
        return;
    }
    device.connected = false;
    for (EndpointState& endpoint : device.endpoints) {
        completeAll(endpoint, kAborted);
    }
    for (ControlWaiter* waiter = device.waiters; waiter != nullptr; waiter = waiter->next) {
        waiter->wake.notify_all();
    }
}

void BusCore::unplugFromWorker(DeviceState& device)
{
    disconnectLocked(device);
    requestDetach(device.port, device.model.get());
}

const Fault* BusCore::faultFor(DeviceState& device, uint8_t endpoint, uint64_t microframe, uint64_t index)
{
    for (const FaultRule& rule : device.faults) {
        if (rule.endpoint != endpoint) {
            continue;
        }
        const Fault& fault = rule.fault;
        switch (fault.trigger) {
        case Fault::Trigger::FromNow:
            return &fault;
        case Fault::Trigger::Microframes:
            if (microframe >= fault.first && microframe - fault.first < fault.count) {
                return &fault;
            }
            break;
        case Fault::Trigger::Transfers:
            if (index >= rule.base + fault.first && index - rule.base - fault.first < fault.count) {
                return &fault;
            }
            break;
        }
    }
    return nullptr;
}

void BusCore::injectFault(uint8_t port, uint8_t endpoint, const Fault& fault)
{
    std::lock_guard lock(fLock);
    if (port > Bus::kPortCount || !fPorts[port]) {
        return;
    }
    DeviceState& device = *fPorts[port];
    device.faults.push_back({endpoint, fault, device.endpoints[endpointSlot(endpoint)].submitted});
}

void BusCore::clearFaults(uint8_t port)
{
    std::unique_lock lock(fLock);
    if (port > Bus::kPortCount || !fPorts[port]) {
        return;
    }
    DeviceState& device = *fPorts[port];
    device.faults.clear();
    // Held endpoints go on from the microframe under way, like a controller catching up.
    const uint64_t current = fFrameClock.microframeAt(DarwinClock::hostNow());
    bool released = false;
    for (EndpointState& endpoint : device.endpoints) {
        if (endpoint.held) {
            endpoint.held = false;
            endpoint.missedBefore = current;
            released = true;
        }
    }
    if (released) {
        wake(lock);
    }
}

Status BusCore::submit(const std::shared_ptr<DeviceState>& device, uint8_t endpointAddress, uint8_t* buffer,
                       uint32_t length, uint32_t timeoutMs, Completion completion, uint32_t noDataTimeoutMs)
{
    std::unique_lock lock(fLock);
    if (!device->connected) {
        return kNoDevice;
    }
    EndpointState& endpoint = device->endpoints[endpointSlot(endpointAddress)];
    if (!endpoint.present || endpoint.info.address != endpointAddress ||
        endpoint.info.type == TransferType::Isochronous || (buffer == nullptr && length != 0)) {
        return kBadArgument;
    }
    if (endpoint.halted) {
        return kStalled;
    }
    const uint64_t now = DarwinClock::hostNow();
    Transfer* transfer = newTransfer(device, endpoint, now, completion, buffer);
    transfer->length = length;
    transfer->deadline = timeoutMs == 0 ? DarwinClock::kNever
                                        : DarwinClock::addSaturating(now, uint64_t(timeoutMs) * 1'000'000);
    transfer->noDataNs = uint64_t(noDataTimeoutMs) * 1'000'000;
    transfer->lastMoved = now;
    if (isPrompt(endpoint)) {
        endpoint.nextPoll = now;
    } else if (endpoint.head == nullptr) {
        // Polling starts at the endpoint's next service opportunity.
        const uint64_t interval = pollInterval(endpoint.info);
        const uint64_t next = (fFrameClock.microframeAt(now) / interval + 1) * interval;
        endpoint.nextPoll =
            std::max(endpoint.nextPoll, fFrameClock.microframeStart(next) + Bus::kServiceDelay);
    }
    enqueue(endpoint, transfer, lock);
    return kSuccess;
}

void BusCore::abort(const std::shared_ptr<DeviceState>& device, uint8_t endpointAddress, Status status)
{
    std::unique_lock lock(fLock);
    EndpointState& endpoint = device->endpoints[endpointSlot(endpointAddress)];
    const uint64_t pass = fWorker.nextPass();
    completeAll(endpoint, status);
    fWorker.notify();
    fWorker.awaitPass(lock, pass);
}

bool BusCore::isPrompt(const EndpointState& endpoint) const
{
    return fPromptBulk && endpoint.info.type == TransferType::Bulk;
}

uint64_t BusCore::pollInterval(const EndpointInfo& info)
{
    if (info.type != TransferType::Interrupt) {
        return 1;
    }
    const unsigned exponent = std::clamp<unsigned>(info.bInterval, 1, 16) - 1;
    return uint64_t(1) << exponent;
}

Capture::Event BusCore::captureEvent(const Transfer& transfer)
{
    const EndpointInfo& info = transfer.endpoint->info;
    Capture::Event event;
    event.id = transfer.id;
    event.type = info.type;
    event.endpoint = info.address;
    event.device = transfer.device->address;
    event.interval = info.type == TransferType::Bulk ? 0 : uint32_t(pollInterval(info));
    return event;
}

void BusCore::captureSubmit(const Transfer& transfer)
{
    if (!fCapture.active()) {
        return;
    }
    const bool in = (transfer.endpoint->info.address & 0x80) != 0;
    Capture::Event event = captureEvent(transfer);
    std::vector<Capture::IsoDescriptor> iso;
    if (transfer.frames != nullptr) {
        if (!fCapture.capturesIsochronous()) {
            return;
        }
        size_t offset = 0;
        for (uint32_t i = 0; i < transfer.frameCount; ++i) {
            iso.push_back({-115, uint32_t(offset), transfer.frames[i].requestCount, 0});
            offset += transfer.frames[i].requestCount;
        }
        event.iso = iso;
        event.length = uint32_t(offset);
        event.startFrame = int32_t(transfer.firstMicroframe / 8);
        if (!in) {
            event.data = std::span<const uint8_t>(transfer.buffer, offset);
        }
    } else {
        event.length = transfer.length;
        if (!in) {
            event.data = std::span<const uint8_t>(transfer.buffer, transfer.length);
        }
    }
    fCapture.write(event);
}

void BusCore::captureComplete(const Transfer& transfer)
{
    if (!fCapture.active()) {
        return;
    }
    const bool in = (transfer.endpoint->info.address & 0x80) != 0;
    Capture::Event event = captureEvent(transfer);
    event.submit = false;
    event.status = transfer.status;
    std::vector<Capture::IsoDescriptor> iso;
    if (transfer.frames != nullptr) {
        if (!fCapture.capturesIsochronous()) {
            return;
        }
        size_t offset = 0;
        uint32_t actual = 0;
        for (uint32_t i = 0; i < transfer.frameCount; ++i) {
            const IsochronousFrame& frame = transfer.frames[i];
            iso.push_back({usbmonStatus(frame.status), uint32_t(offset), frame.completeCount, 0});
            event.errorCount += frame.status != kSuccess;
            offset += frame.requestCount;
            actual += frame.completeCount;
        }
        event.iso = iso;
        event.length = actual;
        event.startFrame = int32_t(transfer.firstMicroframe / 8);
        if (in) {
            event.data = std::span<const uint8_t>(transfer.buffer, offset);
        }
    } else {
        event.length = transfer.actual;
        if (in) {
            event.data = std::span<const uint8_t>(transfer.buffer, transfer.actual);
        }
    }
    fCapture.write(event);
}

} // namespace SimUSB
