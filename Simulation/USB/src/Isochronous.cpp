// Isochronous transfers: checked when queued, then moved on one microframe at a time as time passes,
// so hosts can read packets while the transfer is still in flight.

#include "BusCore.h"
#include "Dma.h"

#include <algorithm>

namespace SimUSB {

namespace {

constexpr uint64_t kMaxFramesAhead = 1000;

} // namespace

Status BusCore::submitIsochronous(const std::shared_ptr<DeviceState>& device, uint8_t endpointAddress,
                                  uint8_t* data, size_t dataLength, IsochronousFrame* frames,
                                  uint32_t frameCount, uint64_t firstFrame, Completion completion)
{
    std::unique_lock lock(fLock);
    if (!device->connected) {
        return kNoDevice;
    }
    EndpointState& endpoint = device->endpoints[endpointSlot(endpointAddress)];
    if (!endpoint.present || endpoint.info.address != endpointAddress ||
        endpoint.info.type != TransferType::Isochronous || frames == nullptr || frameCount == 0 ||
        (data == nullptr && dataLength != 0)) {
        return kBadArgument;
    }
    const uint64_t now = DarwinClock::hostNow();
    const uint64_t current = fFrameClock.frameAt(now);
    if (firstFrame <= current) {
        return kIsoTooOld;
    }
    if (firstFrame > current + kMaxFramesAhead) {
        return kIsoTooNew;
    }
    size_t total = 0;
    for (uint32_t i = 0; i < frameCount; ++i) {
        const uint32_t request = frames[i].requestCount;
        if (request > endpoint.info.bytesPerMicroframe) {
            return kBadArgument;
        }
        total += request;
        if (total > dataLength) {
            return kBadArgument;
        }
    }
    for (uint32_t i = 0; i < frameCount; ++i) {
        frames[i].completeCount = 0;
    }
    Transfer* transfer = newTransfer(device, endpoint, now, completion, data);
    transfer->dataLength = dataLength;
    transfer->frames = frames;
    transfer->frameCount = frameCount;
    transfer->firstMicroframe = firstFrame * 8;
    enqueue(endpoint, transfer, lock);
    return kSuccess;
}

uint64_t BusCore::processIsochronous(DeviceState& device, EndpointState& endpoint, uint64_t now)
{
    uint64_t next = DarwinClock::kNever;
    const FrameClock::Base clock = fFrameClock.base();
    const uint64_t current = clock.microframeAt(now);
    Transfer* previous = nullptr;
    for (Transfer* transfer = endpoint.head; transfer != nullptr;) {
        while (transfer->nextEntry < transfer->frameCount) {
            const EntryOutcome outcome = processEntry(device, endpoint, *transfer, clock, current);
            if (outcome == EntryOutcome::Unplugged) {
                return DarwinClock::kNever;
            }
            if (outcome == EntryOutcome::Held) {
                // The transfers behind it wait too; clearing the fault wakes the endpoint.
                return next;
            }
            if (outcome == EntryOutcome::NotDue) {
                break;
            }
        }
        Transfer* following = transfer->next;
        if (transfer->nextEntry < transfer->frameCount) {
            next = std::min(next, clock.microframeStart(transfer->firstMicroframe + transfer->nextEntry + 1) +
                                      Bus::kServiceDelay);
            previous = transfer;
        } else {
            const uint64_t end = clock.microframeStart(transfer->firstMicroframe + transfer->frameCount);
            const uint64_t due = DarwinClock::addSaturating(end + Bus::kServiceDelay, fCompletionLatency);
            if (now >= due) {
                Status status = kSuccess;
                for (uint32_t i = 0; i < transfer->frameCount && status == kSuccess; ++i) {
                    status = transfer->frames[i].status;
                }
                complete(endpoint, transfer, previous, transfer->statusForced ? transfer->status : status);
            } else {
                next = std::min(next, due);
                previous = transfer;
            }
        }
        transfer = following;
    }
    return next;
}

BusCore::EntryOutcome BusCore::processEntry(DeviceState& device, EndpointState& endpoint, Transfer& transfer,
                                            const FrameClock::Base& clock, uint64_t current)
{
    const uint64_t microframe = transfer.firstMicroframe + transfer.nextEntry;
    // Due once it has ended, that is once the next has begun.
    if (microframe + 1 > current) {
        return EntryOutcome::NotDue;
    }
    IsochronousFrame& frame = transfer.frames[transfer.nextEntry];
    const uint32_t request = frame.requestCount;
    const size_t offset = transfer.nextOffset;
    // Checked when queued; a host that changed the list since is held to the buffer all the same.
    const uint32_t count =
        uint32_t(std::min<size_t>({request, endpoint.info.bytesPerMicroframe,
                                   offset < transfer.dataLength ? transfer.dataLength - offset : 0}));
    const bool in = (endpoint.info.address & 0x80) != 0;
    Status status = kSuccess;
    uint32_t done = 0;

    const Fault* fault = faultFor(device, endpoint.info.address, microframe, transfer.index);
    const Fault::Kind kind = fault ? fault->kind : Fault::Kind::RequestStatus;
    if (fault && kind == Fault::Kind::Unplug) {
        unplugFromWorker(device);
        return EntryOutcome::Unplugged;
    }
    if (fault && kind == Fault::Kind::Hold) {
        endpoint.held = true;
        return EntryOutcome::Held;
    }
    if (fault && kind == Fault::Kind::RequestStatus) {
        transfer.statusForced = true;
        transfer.status = fault->status;
    }
    if (fault && kind == Fault::Kind::Drop) {
        status = in ? fault->status : kSuccess;
        done = in ? 0 : count;
    } else if ((fault && kind == Fault::Kind::NotSent) || microframe < endpoint.missedBefore) {
        status = kNotSent;
    } else if (fault && kind == Fault::Kind::NoAnswer) {
        status = kNotResponding;
    } else if (fault && kind == Fault::Kind::Stall) {
        status = kStalled;
    } else if (in) {
        const InPacket packet = device.model->isochronousIn(endpoint.info.address, microframe, fScratch);
        if (!packet.ready) {
            status = kNotResponding;
        } else if (packet.status != kSuccess) {
            status = packet.status;
        } else if (packet.length > count) {
            status = kOverrun;
        } else {
            storePacket(transfer.buffer + offset, fScratch.data(), packet.length,
                        transfer.dataLength - offset);
            done = uint32_t(packet.length);
        }
    } else {
        dmaRead(fScratch.data(), transfer.buffer + offset, count);
        device.model->isochronousOut(endpoint.info.address, microframe,
                                     std::span<const uint8_t>(fScratch.data(), count));
        done = count;
    }
    frame.status = status;
    frame.completeCount = done;
    frame.timeStamp = clock.microframeStart(microframe);
    transfer.nextOffset = offset + request;
    ++transfer.nextEntry;
    return EntryOutcome::Processed;
}

} // namespace SimUSB
