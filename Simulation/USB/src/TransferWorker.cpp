// The transfer worker: polls interrupt and bulk IN endpoints, hands OUT data to the models, moves
// isochronous transfers on microframe by microframe, expires time-outs and delivers completions.
// It sleeps while nothing is queued. On the real clock one wake serves every microframe that has
// come due on every endpoint; on the manual clock a clock alarm serves them and the worker delivers.

#include "BusCore.h"
#include "Dma.h"

#include <algorithm>

namespace SimUSB {

std::optional<uint64_t> BusCore::serveTransfers(std::unique_lock<std::mutex>& lock)
{
    uint64_t next = DarwinClock::kNever;
    if (DarwinClock::isManual()) {
        serveByAlarm(lock);
    } else {
        // Left from manual time, if any.
        planAlarm(DarwinClock::kNever, lock);
        next = processDevices(DarwinClock::hostNow());
    }
    if (fDoneHead != nullptr) {
        deliverCompleted(lock);
        return std::nullopt;
    }
    return next;
}

void BusCore::deliverCompleted(std::unique_lock<std::mutex>& lock)
{
    fDelivering = true;
    while (Transfer* transfer = fDoneHead) {
        fDoneHead = transfer->next;
        if (fDoneHead == nullptr) {
            fDoneTail = nullptr;
        }
        transfer->next = nullptr;
        lock.unlock();
        captureComplete(*transfer);
        if (transfer->completion.function != nullptr) {
            transfer->completion.function(transfer->completion.context,
                                          {transfer->status, transfer->actual, DarwinClock::hostNow()});
        }
        lock.lock();
        giveBack(transfer);
    }
    fDelivering = false;
    fDeliveredWake.notify_all();
}

uint64_t BusCore::processDevices(uint64_t now)
{
    uint64_t next = DarwinClock::kNever;
    for (const auto& device : fPorts) {
        if (device && device->connected) {
            next = std::min(next, processDevice(*device, now));
        }
    }
    return next;
}

uint64_t BusCore::processDevice(DeviceState& device, uint64_t now)
{
    uint64_t next = DarwinClock::kNever;
    for (EndpointState& endpoint : device.endpoints) {
        if (!device.connected) {
            return DarwinClock::kNever;
        }
        if (!endpoint.present || endpoint.head == nullptr) {
            continue;
        }
        if (endpoint.info.type == TransferType::Isochronous) {
            next = std::min(next, processIsochronous(device, endpoint, now));
        } else if (endpoint.info.address & 0x80) {
            next = std::min(next, processPolled(device, endpoint, now));
        } else {
            next = std::min(next, processOut(device, endpoint, now));
        }
    }
    return next;
}

uint64_t BusCore::expire(EndpointState& endpoint, uint64_t now)
{
    uint64_t next = DarwinClock::kNever;
    Transfer* previous = nullptr;
    for (Transfer* transfer = endpoint.head; transfer != nullptr;) {
        Transfer* following = transfer->next;
        const uint64_t due = expiry(*transfer);
        if (due <= now) {
            complete(endpoint, transfer, previous, kTimedOut);
        } else {
            next = std::min(next, due);
            previous = transfer;
        }
        transfer = following;
    }
    return next;
}

uint64_t BusCore::expiry(const Transfer& transfer)
{
    if (transfer.noDataNs == 0) {
        return transfer.deadline;
    }
    return std::min(transfer.deadline, DarwinClock::addSaturating(transfer.lastMoved, transfer.noDataNs));
}

uint64_t BusCore::processPolled(DeviceState& device, EndpointState& endpoint, uint64_t now)
{
    uint64_t next = expire(endpoint, now);
    if (endpoint.head == nullptr) {
        return next;
    }
    if (endpoint.halted) {
        completeAll(endpoint, kStalled);
        return next;
    }
    const uint64_t interval = pollInterval(endpoint.info);
    if (now >= endpoint.nextPoll) {
        const uint64_t microframe = fFrameClock.microframeAt(now);
        endpoint.nextPoll =
            fFrameClock.microframeStart((microframe / interval + 1) * interval) + Bus::kServiceDelay;
        // Once per microframe, or in the prompt setting for as long as the model has packets.
        bool again = true;
        while (again && endpoint.head != nullptr) {
            again = false;
            Transfer* transfer = endpoint.head;
            const Fault* fault = faultFor(device, endpoint.info.address, microframe, transfer->index);
            const Fault::Kind kind = fault ? fault->kind : Fault::Kind::Drop;
            if (fault && kind == Fault::Kind::Unplug) {
                unplugFromWorker(device);
                return DarwinClock::kNever;
            } else if (fault && kind == Fault::Kind::Stall) {
                endpoint.halted = true;
                completeAll(endpoint, kStalled);
            } else if (fault && kind == Fault::Kind::NotSent) {
                complete(endpoint, transfer, nullptr, kNotSent);
            } else if (fault && kind == Fault::Kind::RequestStatus) {
                complete(endpoint, transfer, nullptr, fault->status);
            } else if (!fault || kind == Fault::Kind::Drop) {
                const InPacket packet = device.model->in(endpoint.info.address, fScratch);
                const uint32_t packetSize = endpoint.info.wMaxPacketSize & 0x7FF;
                if (!packet.ready || fault) {
                    // Nothing yet, or lost on the way.
                } else if (packet.status != kSuccess) {
                    complete(endpoint, transfer, nullptr, packet.status);
                } else if (packet.length > packetSize ||
                           packet.length > transfer->length - transfer->actual) {
                    transfer->actual = 0;
                    complete(endpoint, transfer, nullptr, kOverrun);
                } else {
                    dmaWrite(transfer->buffer + transfer->actual, fScratch.data(), packet.length);
                    transfer->actual += uint32_t(packet.length);
                    if (packet.length > 0) {
                        transfer->lastMoved = now;
                    }
                    if (packet.length < packetSize || transfer->actual == transfer->length) {
                        complete(endpoint, transfer, nullptr, kSuccess);
                    }
                    again = isPrompt(endpoint);
                }
            }
        }
    }
    if (endpoint.head != nullptr) {
        next = std::min(next, endpoint.nextPoll);
    }
    return next;
}

uint64_t BusCore::processOut(DeviceState& device, EndpointState& endpoint, uint64_t now)
{
    uint64_t next = expire(endpoint, now);
    if (endpoint.halted) {
        completeAll(endpoint, kStalled);
        return next;
    }
    while (Transfer* transfer = endpoint.head) {
        // OUT data leaves at the first microframe boundary after the submission, or at once in the
        // prompt setting.
        const uint64_t microframe = fFrameClock.microframeAt(transfer->submitted) + 1;
        const uint64_t due =
            isPrompt(endpoint) ? transfer->submitted : fFrameClock.microframeStart(microframe);
        if (now < due) {
            return std::min(next, due);
        }
        const Fault* fault = faultFor(device, endpoint.info.address, microframe, transfer->index);
        if (fault) {
            switch (fault->kind) {
            case Fault::Kind::Unplug:
                unplugFromWorker(device);
                return DarwinClock::kNever;
            case Fault::Kind::Stall:
                endpoint.halted = true;
                completeAll(endpoint, kStalled);
                return next;
            case Fault::Kind::NoAnswer:
            case Fault::Kind::Hold:
                // Held until its time-out or an abort.
                return next;
            case Fault::Kind::NotSent:
                complete(endpoint, transfer, nullptr, kNotSent);
                continue;
            case Fault::Kind::RequestStatus:
                transfer->actual = transfer->length;
                complete(endpoint, transfer, nullptr, fault->status);
                continue;
            case Fault::Kind::Drop:
                transfer->actual = transfer->length;
                complete(endpoint, transfer, nullptr, kSuccess);
                continue;
            }
        }
        const uint32_t packetSize = std::max<uint32_t>(1, endpoint.info.wMaxPacketSize & 0x7FF);
        for (uint32_t offset = 0; offset < transfer->length; offset += packetSize) {
            const uint32_t length = std::min(packetSize, transfer->length - offset);
            dmaRead(fScratch.data(), transfer->buffer + offset, length);
            device.model->out(endpoint.info.address, std::span<const uint8_t>(fScratch.data(), length));
        }
        transfer->actual = transfer->length;
        complete(endpoint, transfer, nullptr, kSuccess);
    }
    return next;
}

} // namespace SimUSB
