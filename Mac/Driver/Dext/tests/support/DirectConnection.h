#pragma once

// The driver's own numbering with asynchronous completions, as a DriverKit client calls it: the
// connections IOServiceOpen makes to the control service are kept, so a test can pass a completion
// action with a call.

#include <DriverKit/DriverKit.h>
#include <DriverKit/platform/UserClientConnection.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace DextTesting {

// From now on, the connections opened to the control service are kept; the last one is returned.
void keepConnections();
std::shared_ptr<DriverKitPlatform::UserClientConnection> lastConnection();

// A completion action whose deliveries are collected in order.
class Completions
{
public:
    Completions();
    ~Completions();
    Completions(const Completions&) = delete;
    Completions& operator=(const Completions&) = delete;

    OSAction* action() const { return fAction; }
    // Waits (10 s at most) until `count` deliveries came; their statuses in order.
    std::vector<IOReturn> waitFor(size_t count);
    // The deliveries so far, after everything queued before this call has run.
    std::vector<IOReturn> settled();

private:
    static void completed(OSObject* target, OSAction* action, IOReturn status, const uint64_t*, uint32_t);

    IOService* fTarget = nullptr;
    IODispatchQueue* fQueue = nullptr;
    OSAction* fAction = nullptr;
    std::mutex fLock;
    std::condition_variable fChanged;
    std::vector<IOReturn> fStatuses;
};

} // namespace DextTesting
