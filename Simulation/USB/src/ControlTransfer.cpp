// Control transfers: synchronous for the caller, answered by the model, cut by a time-out.

#include "BusCore.h"
#include "Dma.h"

#include <algorithm>
#include <thread>

namespace SimUSB {

namespace {

Capture::Event controlEvent(uint64_t id, uint8_t address, const SetupPacket& setup)
{
    Capture::Event event;
    event.id = id;
    event.type = TransferType::Control;
    event.endpoint = setup.deviceToHost() ? 0x80 : 0x00;
    event.device = address;
    event.length = setup.wLength;
    return event;
}

} // namespace

// A plain clock wait, except that on the event thread (enumeration) it also counts as the thread
// waiting on the clock for posters that wait for that.
void BusCore::waitForAnswer(std::unique_lock<std::mutex>& lock, std::condition_variable& wake,
                            uint64_t deadline)
{
    struct Context
    {
        std::mutex* mutex;
        std::condition_variable* wake;
    } context{&fLock, &wake};
    const bool onEventThread = fEventThread.onThread();
    {
        DarwinClock::WaitRegistration registration(
            deadline, "SimUSB control transfer",
            [](void* self) {
                auto* c = static_cast<Context*>(self);
                std::lock_guard wakeLock(*c->mutex);
                c->wake->notify_all();
            },
            &context);
        if (onEventThread) {
            setEventThreadWaiting(true);
        }
        if (auto real = registration.realDeadline()) {
            wake.wait_until(lock, *real);
        } else {
            wake.wait(lock);
        }
        // Unregistering waits for a wake in progress, which takes this lock.
        lock.unlock();
    }
    if (onEventThread) {
        setEventThreadWaiting(false);
    }
    lock.lock();
}

ControlResult BusCore::control(const std::shared_ptr<DeviceState>& device, const SetupPacket& setup,
                               uint8_t* data, uint32_t timeoutMs)
{
    const uint64_t start = DarwinClock::hostNow();
    const uint64_t deadline = timeoutMs == 0
                                  ? DarwinClock::kNever
                                  : DarwinClock::addSaturating(start, uint64_t(timeoutMs) * 1'000'000);
    std::optional<Fault> fault;
    uint64_t id;
    uint8_t address;
    {
        std::lock_guard lock(fLock);
        if (!device->connected) {
            return {kNoDevice, 0};
        }
        EndpointState& endpoint = device->endpoints[0];
        if (const Fault* found =
                faultFor(*device, 0, fFrameClock.microframeAt(start), endpoint.submitted++)) {
            fault = *found;
        }
        id = fNextTransferId++;
        address = device->address;
    }
    const std::span<const uint8_t> outData(data, setup.deviceToHost() || data == nullptr ? 0 : setup.wLength);
    {
        Capture::Event event = controlEvent(id, address, setup);
        event.setup = &setup;
        event.data = outData;
        fCapture.write(event);
    }

    ControlResult result;
    ControlAnswer answer;
    bool answered = true;
    if (fault) {
        switch (fault->kind) {
        case Fault::Kind::Stall:
            answer = ControlAnswer::stall();
            break;
        case Fault::Kind::Drop:
        case Fault::Kind::NoAnswer:
        case Fault::Kind::Hold:
            answer = ControlAnswer::hang();
            break;
        case Fault::Kind::NotSent:
            answered = false;
            result.status = kNotSent;
            break;
        case Fault::Kind::RequestStatus:
            answered = false;
            result.status = fault->status;
            break;
        case Fault::Kind::Unplug: {
            std::lock_guard lock(fLock);
            unplugFromWorker(*device);
            answered = false;
            result.status = kAborted;
            break;
        }
        }
    } else {
        answer = device->model->control(setup, outData);
    }

    if (answered) {
        const uint64_t answerAt = answer.kind == ControlAnswer::Kind::Hang
                                      ? DarwinClock::kNever
                                      : DarwinClock::addSaturating(start, answer.delay);
        std::unique_lock lock(fLock);
        ControlWaiter waiter;
        waiter.next = device->waiters;
        device->waiters = &waiter;
        while (device->connected) {
            const uint64_t now = DarwinClock::hostNow();
            if (now >= answerAt && answerAt <= deadline) {
                break;
            }
            if (now >= deadline) {
                answered = false;
                result.status = kTimedOut;
                break;
            }
            waitForAnswer(lock, waiter.wake, std::min(answerAt, deadline));
        }
        for (ControlWaiter** link = &device->waiters; *link != nullptr; link = &(*link)->next) {
            if (*link == &waiter) {
                *link = waiter.next;
                break;
            }
        }
        if (!device->connected) {
            answered = false;
            result.status = kAborted;
        }
    }

    if (answered) {
        switch (answer.kind) {
        case ControlAnswer::Kind::Data:
        case ControlAnswer::Kind::Ack:
            if (setup.deviceToHost()) {
                result.length = uint32_t(std::min<size_t>(answer.data.size(), setup.wLength));
                if (data != nullptr) {
                    dmaWrite(data, answer.data.data(), result.length);
                }
            } else {
                result.length = setup.wLength;
            }
            applyStandardRequest(device, setup);
            break;
        case ControlAnswer::Kind::Stall:
        case ControlAnswer::Kind::Hang:
            result.status = kStalled;
            break;
        }
    }

    Capture::Event event = controlEvent(id, address, setup);
    event.submit = false;
    event.status = result.status;
    event.length = result.length;
    if (setup.deviceToHost() && result.status == kSuccess && data != nullptr) {
        event.data = std::span<const uint8_t>(data, result.length);
    }
    fCapture.write(event);
    return result;
}

} // namespace SimUSB
