#include "NotificationPort.h"

#include <mach/mach.h>

#include <utility>

namespace IOKit {

namespace {

// The CFMachPort's info: the port, weakly, so the CFMachPort does not keep it alive.
using WeakPort = std::weak_ptr<NotificationPort>;

void releaseWeakPort(const void* info)
{
    delete static_cast<const WeakPort*>(info);
}

} // namespace

std::shared_ptr<NotificationPort> NotificationPort::create()
{
    std::shared_ptr<NotificationPort> port(new NotificationPort);
    CFMachPortContext context{};
    context.info = new WeakPort(port);
    context.release = releaseWeakPort;
    Boolean shouldFreeInfo = false;
    port->fMachPort = CFMachPortCreate(kCFAllocatorDefault, messageArrived, &context, &shouldFreeInfo);
    if (port->fMachPort == nullptr) {
        releaseWeakPort(context.info);
        return nullptr;
    }
    return port;
}

NotificationPort::~NotificationPort()
{
    destroy();
    if (fQueue != nullptr) {
        dispatch_release(fQueue);
    }
}

CFRunLoopSourceRef NotificationPort::runLoopSource(CFIndex order)
{
    std::lock_guard lock(fLock);
    if (fSource == nullptr && fMachPort != nullptr) {
        fSource = CFMachPortCreateRunLoopSource(kCFAllocatorDefault, fMachPort, order);
    }
    return fSource;
}

void NotificationPort::setDispatchQueue(dispatch_queue_t queue)
{
    if (queue == nullptr) {
        return;
    }
    dispatch_retain(queue);
    dispatch_queue_t previous;
    {
        std::lock_guard lock(fLock);
        previous = std::exchange(fQueue, queue);
        if (!fPending.empty() && !fDestroyed) {
            // Callbacks posted before now move to the queue as well.
            fWakePending = false;
            wakeLocked();
        }
    }
    if (previous != nullptr) {
        dispatch_release(previous);
    }
}

void NotificationPort::post(const std::shared_ptr<PortClient>& client, uint32_t message, intptr_t argument)
{
    std::lock_guard lock(fLock);
    if (fDestroyed) {
        return;
    }
    fPending.push_back(Pending{client, message, argument});
    wakeLocked();
}

void NotificationPort::wakeLocked()
{
    if (fWakePending) {
        return;
    }
    fWakePending = true;
    if (fQueue != nullptr) {
        dispatch_async(fQueue, [self = shared_from_this()] { self->drain(true); });
        return;
    }
    mach_msg_header_t wake{};
    wake.msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, 0);
    wake.msgh_size = sizeof wake;
    wake.msgh_remote_port = CFMachPortGetPort(fMachPort);
    // Never waits: this is the only message outstanding on the port.
    mach_msg(&wake, MACH_SEND_MSG | MACH_SEND_TIMEOUT, sizeof wake, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL);
}

void NotificationPort::messageArrived(CFMachPortRef, void*, CFIndex, void* info)
{
    if (auto port = static_cast<WeakPort*>(info)->lock()) {
        port->drain(false);
    }
}

void NotificationPort::drain(bool onQueue)
{
    std::unique_lock lock(fLock);
    // A wake-up sent before a dispatch queue was set does not run callbacks on the loop.
    if (onQueue != (fQueue != nullptr)) {
        return;
    }
    fWakePending = false;
    // A callback that runs a nested loop does not start the next one; the outer drain will.
    if (fDraining) {
        return;
    }
    fDraining = true;
    while (!fDestroyed && !fPending.empty() && onQueue == (fQueue != nullptr)) {
        Pending pending = std::move(fPending.front());
        fPending.pop_front();
        if (pending.fClient->fWithdrawn) {
            continue;
        }
        fCallbackThread = std::this_thread::get_id();
        lock.unlock();
        pending.fClient->deliver(pending.fMessage, pending.fArgument);
        pending.fClient.reset();
        lock.lock();
        fCallbackThread = std::thread::id();
        fCallbackEnded.notify_all();
    }
    fDraining = false;
    // A queue set meanwhile takes what is left.
    if (!fDestroyed && !fPending.empty()) {
        wakeLocked();
    }
}

void NotificationPort::withdraw(PortClient& client)
{
    std::lock_guard lock(fLock);
    client.fWithdrawn = true;
}

void NotificationPort::destroy()
{
    std::deque<Pending> dropped;
    CFMachPortRef machPort;
    CFRunLoopSourceRef source;
    {
        std::unique_lock lock(fLock);
        fDestroyed = true;
        dropped.swap(fPending);
        while (fCallbackThread != std::thread::id() && fCallbackThread != std::this_thread::get_id()) {
            fCallbackEnded.wait(lock);
        }
        machPort = std::exchange(fMachPort, nullptr);
        source = std::exchange(fSource, nullptr);
    }
    if (machPort != nullptr) {
        CFMachPortInvalidate(machPort);
        CFRelease(machPort);
    }
    if (source != nullptr) {
        CFRelease(source);
    }
}

} // namespace IOKit
