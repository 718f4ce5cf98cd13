#include "Port.h"

#include <Darwin/Clock.h>

#include <cstddef>
#include <cstring>
#include <utility>

namespace Darwin {

namespace {

// The port whose observer the current thread is running, so that it may replace it.
thread_local const Port* tObserving = nullptr;

} // namespace

mach_msg_return_t Port::send(std::vector<std::byte> message, uint64_t deadline)
{
    std::unique_lock lock(fLock);
    for (;;) {
        if (fDestroyed) {
            return MACH_SEND_INVALID_DEST;
        }
        if (fQueue.size() < MACH_PORT_QLIMIT_DEFAULT) {
            break;
        }
        if (DarwinClock::hostNow() >= deadline) {
            return MACH_SEND_TIMED_OUT;
        }
        DarwinClock::waitUntil(lock, fChanged, deadline, "mach_msg send");
    }
    fQueue.push_back(std::move(message));
    fChanged.notify_all();
    notifyArrival(lock);
    return MACH_MSG_SUCCESS;
}

mach_msg_return_t Port::receive(mach_msg_header_t* buffer, mach_msg_size_t size, bool reportSize,
                                uint64_t deadline)
{
    std::unique_lock lock(fLock);
    for (;;) {
        if (fDestroyed) {
            return MACH_RCV_PORT_DIED;
        }
        if (!fQueue.empty()) {
            const std::vector<std::byte>& message = fQueue.front();
            if (message.size() > size) {
                if (reportSize && size >= offsetof(mach_msg_header_t, msgh_size) + sizeof(mach_msg_size_t)) {
                    buffer->msgh_size = mach_msg_size_t(message.size());
                }
                return MACH_RCV_TOO_LARGE;
            }
            std::memcpy(buffer, message.data(), message.size());
            fQueue.pop_front();
            fChanged.notify_all();
            return MACH_MSG_SUCCESS;
        }
        if (DarwinClock::hostNow() >= deadline) {
            return MACH_RCV_TIMED_OUT;
        }
        DarwinClock::waitUntil(lock, fChanged, deadline, "mach_msg receive");
    }
}

void Port::destroy()
{
    setArrivalObserver(nullptr);
    std::lock_guard lock(fLock);
    fDestroyed = true;
    fQueue.clear();
    fChanged.notify_all();
}

void Port::setArrivalObserver(std::function<void()> observer)
{
    std::unique_lock lock(fLock);
    fObserver = observer ? std::make_shared<std::function<void()>>(std::move(observer)) : nullptr;
    if (tObserving != this) {
        fChanged.wait(lock, [this] { return fObserverCalls == 0; });
    }
}

void Port::notifyArrival(std::unique_lock<std::mutex>& lock)
{
    std::shared_ptr<std::function<void()>> observer = fObserver;
    if (!observer) {
        return;
    }
    ++fObserverCalls;
    lock.unlock();
    struct Call
    {
        Port* fPort;
        std::unique_lock<std::mutex>& fLock;
        const Port* fOuter = std::exchange(tObserving, fPort);
        ~Call()
        {
            tObserving = fOuter;
            fLock.lock();
            --fPort->fObserverCalls;
            fPort->fChanged.notify_all();
        }
    } call{this, lock};
    (*observer)();
}

} // namespace Darwin
