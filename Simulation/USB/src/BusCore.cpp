#include "BusCore.h"

#include <algorithm>
#include <utility>

namespace SimUSB {

BusCore::BusCore() : fScratch(4096) {}

BusCore::~BusCore()
{
    stopThreads();
    while (Transfer* record = fFreeRecords) {
        fFreeRecords = record->next;
        delete record;
    }
}

void BusCore::startThreads()
{
    fEventThread.start([this](std::unique_lock<std::mutex>& lock) { return serveEvents(lock); });
    fWorker.start([this](std::unique_lock<std::mutex>& lock) { return serveTransfers(lock); });
}

void BusCore::stopThreads()
{
    fEventThread.stop();
    fWorker.stop();
    stopAlarm();
}

void BusCore::post(uint64_t due, std::function<void()> action, bool wait, bool sync)
{
    const bool onEventThread = fEventThread.onThread();
    bool done = false;
    std::unique_lock lock(fEventLock);
    // The event thread's next wait begins after it has seen this event.
    const uint64_t pass = fEventThread.nextPass();
    fEvents.push_back({due, fEventSequence++, std::move(action), wait && !onEventThread ? &done : nullptr});
    fEventThread.notify();
    if (wait && !onEventThread) {
        fEventThread.passed().wait(lock, [&] { return done; });
    }
    // On the manual clock the poster waits until the event thread waits for its next deadline, so
    // that an advance that follows finds that deadline.
    if (sync) {
        fEventThread.awaitPass(lock, pass, [this] { return fEventThreadInTransfer; });
    }
}

void BusCore::setEventThreadWaiting(bool waiting)
{
    std::lock_guard lock(fEventLock);
    fEventThreadInTransfer = waiting;
    fEventThread.passed().notify_all();
}

std::optional<uint64_t> BusCore::serveEvents(std::unique_lock<std::mutex>& lock)
{
    auto earliest = std::min_element(fEvents.begin(), fEvents.end(), [](const Event& a, const Event& b) {
        return a.due != b.due ? a.due < b.due : a.sequence < b.sequence;
    });
    const uint64_t next = earliest == fEvents.end() ? DarwinClock::kNever : earliest->due;
    if (next > DarwinClock::hostNow()) {
        return next;
    }
    Event event = std::move(*earliest);
    fEvents.erase(earliest);
    lock.unlock();
    event.action();
    lock.lock();
    if (event.done != nullptr) {
        *event.done = true;
        fEventThread.passed().notify_all();
    }
    return std::nullopt;
}

void BusCore::attachLater(uint8_t port, std::shared_ptr<Device> model, uint64_t delay)
{
    const uint64_t due = DarwinClock::addSaturating(DarwinClock::hostNow(), delay);
    post(
        due, [this, port, model = std::move(model)] { attachNow(port, model); }, false);
}

void BusCore::attachNow(uint8_t port, const std::shared_ptr<Device>& model)
{
    detachNow(port);
    auto state = std::make_shared<DeviceState>();
    state->port = port;
    state->model = model;
    {
        std::lock_guard lock(fLock);
        fPorts[port] = state;
    }
    {
        std::lock_guard lock(model->fLinkLock);
        model->fBus = weak_from_this();
        model->fPort = port;
    }
    if (!enumerate(state)) {
        return;
    }
    auto host = std::make_shared<HostDevice>(shared_from_this(), state);
    {
        std::lock_guard lock(fLock);
        if (!state->connected) {
            return;
        }
        state->host = host;
        state->enumerated = true;
    }
    tellArrived(host);
}

void BusCore::detachNow(uint8_t port)
{
    std::shared_ptr<DeviceState> state;
    std::shared_ptr<HostDevice> host;
    {
        std::unique_lock lock(fLock);
        state = std::exchange(fPorts[port], nullptr);
        if (!state) {
            return;
        }
        disconnectLocked(*state);
        host = std::exchange(state->host, nullptr);
        // Listeners hear of the departure only once its transfers have been completed.
        fDeliveredWake.wait(lock, [&] { return fDoneHead == nullptr && !fDelivering; });
    }
    state->model->detached();
    {
        std::lock_guard lock(state->model->fLinkLock);
        if (state->model->fPort == port) {
            state->model->fBus.reset();
            state->model->fPort = 0;
        }
    }
    if (host) {
        tellLeft(host);
    }
}

void BusCore::detachPort(uint8_t port)
{
    post(
        DarwinClock::hostNow(), [this, port] { detachNow(port); }, true);
}

void BusCore::requestDetach(uint8_t port, const Device* model)
{
    post(
        DarwinClock::hostNow(),
        [this, port, model] {
            if (modelOn(port) == model) {
                detachNow(port);
            }
        },
        false, false);
}

void BusCore::reEnumerate(uint8_t port, const Device* model, uint64_t delay,
                          std::shared_ptr<Device> replacement, bool wait)
{
    post(
        DarwinClock::hostNow(),
        [this, port, model, delay, replacement = std::move(replacement)] {
            std::shared_ptr<Device> current;
            {
                std::lock_guard lock(fLock);
                if (fPorts[port]) {
                    current = fPorts[port]->model;
                }
            }
            if (!current || (model != nullptr && current.get() != model)) {
                return;
            }
            detachNow(port);
            attachLater(port, replacement ? replacement : current, delay);
        },
        wait, wait);
}

void BusCore::requestReEnumerate(uint8_t port, const Device* model, uint64_t delay,
                                 std::shared_ptr<Device> replacement)
{
    reEnumerate(port, model, delay, std::move(replacement), false);
}

const Device* BusCore::modelOn(uint8_t port)
{
    std::lock_guard lock(fLock);
    return fPorts[port] ? fPorts[port]->model.get() : nullptr;
}

void BusCore::resetAll()
{
    post(
        DarwinClock::hostNow(),
        [this] {
            {
                std::lock_guard lock(fEventLock);
                for (Event& event : fEvents) {
                    if (event.done != nullptr) {
                        *event.done = true;
                    }
                }
                fEvents.clear();
                fEventThread.passed().notify_all();
            }
            for (uint8_t port = 1; port <= Bus::kPortCount; ++port) {
                detachNow(port);
            }
        },
        true);
}

void BusCore::settle()
{
    post(
        DarwinClock::hostNow(), [] {}, true);
}

void BusCore::addListener(HostListener* listener)
{
    post(
        DarwinClock::hostNow(),
        [this, listener] {
            fListeners.push_back(listener);
            std::vector<std::shared_ptr<HostDevice>> present;
            {
                std::lock_guard lock(fLock);
                for (const auto& state : fPorts) {
                    if (state && state->host) {
                        present.push_back(state->host);
                    }
                }
            }
            for (const auto& host : present) {
                listener->deviceArrived(host);
            }
        },
        true);
}

void BusCore::removeListener(HostListener* listener)
{
    post(
        DarwinClock::hostNow(), [this, listener] { std::erase(fListeners, listener); }, true);
}

void BusCore::tellArrived(const std::shared_ptr<HostDevice>& host)
{
    for (HostListener* listener : std::vector<HostListener*>(fListeners)) {
        listener->deviceArrived(host);
    }
}

void BusCore::tellLeft(const std::shared_ptr<HostDevice>& host)
{
    for (HostListener* listener : std::vector<HostListener*>(fListeners)) {
        listener->deviceLeft(host);
    }
}

uint64_t BusCore::transferThreadWaits()
{
    std::lock_guard lock(fLock);
    return fWorker.nextPass() - 1;
}

std::shared_ptr<HostDevice> BusCore::device(uint8_t port)
{
    std::lock_guard lock(fLock);
    return port <= Bus::kPortCount && fPorts[port] ? fPorts[port]->host : nullptr;
}

} // namespace SimUSB
