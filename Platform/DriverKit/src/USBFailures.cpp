#include "USBFailures.h"

#include <atomic>
#include <map>
#include <mutex>
#include <utility>

namespace DriverKitPlatform {

namespace {

struct Failures
{
    std::mutex lock;
    std::map<std::pair<const void*, USBCall>, std::pair<uint32_t, IOReturn>> pending;
    std::atomic<bool> any{false};
};

Failures& failures()
{
    static Failures* instance = new Failures;
    return *instance;
}

} // namespace

IOReturn injectedFailure(const void* object, USBCall call)
{
    Failures& f = failures();
    if (!f.any.load(std::memory_order_acquire)) {
        return kIOReturnSuccess;
    }
    std::lock_guard lock(f.lock);
    auto found = f.pending.find({object, call});
    if (found == f.pending.end()) {
        found = f.pending.find({nullptr, call});
    }
    if (found == f.pending.end()) {
        return kIOReturnSuccess;
    }
    const IOReturn status = found->second.second;
    if (--found->second.first == 0) {
        f.pending.erase(found);
        f.any.store(!f.pending.empty(), std::memory_order_release);
    }
    return status;
}

void failNextCalls(const void* object, USBCall call, uint32_t count, IOReturn status)
{
    Failures& f = failures();
    std::lock_guard lock(f.lock);
    if (count == 0) {
        f.pending.erase({object, call});
    } else {
        f.pending[{object, call}] = {count, status};
    }
    f.any.store(!f.pending.empty(), std::memory_order_release);
}

} // namespace DriverKitPlatform
