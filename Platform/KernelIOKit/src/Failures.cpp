#include "Failures.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace KernelIOKitPlatform {

namespace {

struct Injection
{
    const void* object;
    FailingCall call;
    uint32_t count;
    IOReturn status;
};

std::atomic<uint32_t> gCreationFailures{0};
// Checked on every call, so the common case takes no lock.
std::atomic<bool> gAnyInjection{false};
std::mutex gMutex;
std::vector<Injection> gInjections;

} // namespace

bool creationFails()
{
    uint32_t left = gCreationFailures.load();
    while (left > 0) {
        if (gCreationFailures.compare_exchange_weak(left, left - 1)) {
            return true;
        }
    }
    return false;
}

void failNextCreations(uint32_t count)
{
    gCreationFailures.store(count);
}

IOReturn injectedFailure(const void* object, FailingCall call)
{
    if (!gAnyInjection.load(std::memory_order_acquire)) {
        return kIOReturnSuccess;
    }
    std::lock_guard lock(gMutex);
    for (auto injection = gInjections.begin(); injection != gInjections.end(); ++injection) {
        if (injection->call == call && (!injection->object || injection->object == object)) {
            const IOReturn status = injection->status;
            if (--injection->count == 0) {
                gInjections.erase(injection);
                gAnyInjection.store(!gInjections.empty(), std::memory_order_release);
            }
            return status;
        }
    }
    return kIOReturnSuccess;
}

void failNextCalls(const void* object, FailingCall call, uint32_t count, IOReturn status)
{
    std::lock_guard lock(gMutex);
    if (count > 0) {
        gInjections.push_back({object, call, count, status});
    }
    gAnyInjection.store(!gInjections.empty(), std::memory_order_release);
}

void clearFailures()
{
    std::lock_guard lock(gMutex);
    gInjections.clear();
    gAnyInjection.store(false, std::memory_order_release);
    gCreationFailures.store(0);
}

} // namespace KernelIOKitPlatform
