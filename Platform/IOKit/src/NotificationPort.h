#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <dispatch/dispatch.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace IOKit {

// Something whose callbacks a notification port delivers: a matching notification or a power
// registration.
class PortClient
{
public:
    virtual ~PortClient() = default;
    virtual void deliver(uint32_t message, intptr_t argument) = 0;

private:
    friend class NotificationPort;
    // Guarded by the port's lock, so no callback starts once withdraw() has returned.
    bool fWithdrawn = false;
};

// The delivery side of an IONotificationPort. Posted callbacks wait in order; a Mach message to the
// port's CFMachPort (or a block on its dispatch queue) has them run on the loop's thread (or the
// queue), one at a time. At most one such wake-up is outstanding, so posting never blocks.
class NotificationPort : public std::enable_shared_from_this<NotificationPort>
{
public:
    static std::shared_ptr<NotificationPort> create();
    ~NotificationPort();
    NotificationPort(const NotificationPort&) = delete;
    NotificationPort& operator=(const NotificationPort&) = delete;

    // Made at the first call, with `order` among the sources of a run loop.
    CFRunLoopSourceRef runLoopSource(CFIndex order = 0);
    void setDispatchQueue(dispatch_queue_t queue);

    void post(const std::shared_ptr<PortClient>& client, uint32_t message, intptr_t argument);
    // No callback of `client` starts once this has returned.
    void withdraw(PortClient& client);
    // No callback starts once this has returned; waits for one in progress on another thread.
    void destroy();

private:
    struct Pending
    {
        std::shared_ptr<PortClient> fClient;
        uint32_t fMessage;
        intptr_t fArgument;
    };

    NotificationPort() = default;
    void wakeLocked();
    void drain(bool onQueue);
    static void messageArrived(CFMachPortRef port, void* message, CFIndex size, void* info);

    std::mutex fLock;
    std::condition_variable fCallbackEnded;
    std::deque<Pending> fPending;
    bool fWakePending = false;
    bool fDraining = false;
    bool fDestroyed = false;
    std::thread::id fCallbackThread;
    CFMachPortRef fMachPort = nullptr;
    CFRunLoopSourceRef fSource = nullptr;
    dispatch_queue_t fQueue = nullptr;
};

} // namespace IOKit

// The handle IOKitLib.h hands out. Destroying it destroys the port; notifications that still name
// the port then post to nothing.
struct IONotificationPort
{
    std::shared_ptr<IOKit::NotificationPort> fPort;
};
