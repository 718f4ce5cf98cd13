#include "Creation.h"

#include <atomic>

namespace DriverKitPlatform {

namespace {

std::atomic<uint32_t> gFailures{0};

} // namespace

bool creationFails()
{
    uint32_t remaining = gFailures.load(std::memory_order_relaxed);
    while (remaining != 0) {
        if (gFailures.compare_exchange_weak(remaining, remaining - 1, std::memory_order_relaxed)) {
            return true;
        }
    }
    return false;
}

void failNextCreations(uint32_t count)
{
    gFailures.store(count, std::memory_order_relaxed);
}

} // namespace DriverKitPlatform
