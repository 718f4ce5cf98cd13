#include "HostTimebase.h"

#include <Darwin/Clock.h>
#include <mach/mach_time.h>

uint64_t mach_absolute_time(void)
{
    return Darwin::hostTicksAt(DarwinClock::hostNow());
}

kern_return_t mach_timebase_info(mach_timebase_info_t info)
{
    if (!info) {
        return KERN_INVALID_ARGUMENT;
    }
    const Darwin::TimebaseFraction fraction = Darwin::hostTimebase();
    info->numer = fraction.numer;
    info->denom = fraction.denom;
    return KERN_SUCCESS;
}

kern_return_t mach_wait_until(uint64_t deadline)
{
    const uint64_t host = Darwin::hostTimeAtTicks(deadline);
    std::mutex lock;
    std::condition_variable wake;
    std::unique_lock held(lock);
    while (!DarwinClock::waitUntil(held, wake, host, "mach_wait_until")) {
    }
    return KERN_SUCCESS;
}
