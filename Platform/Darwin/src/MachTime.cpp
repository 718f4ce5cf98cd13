#include <Darwin/Clock.h>
#include <mach/mach_time.h>

uint64_t mach_absolute_time(void)
{
    return DarwinClock::hostNow();
}

kern_return_t mach_timebase_info(mach_timebase_info_t info)
{
    if (!info) {
        return KERN_INVALID_ARGUMENT;
    }
    info->numer = 1;
    info->denom = 1;
    return KERN_SUCCESS;
}

kern_return_t mach_wait_until(uint64_t deadline)
{
    std::mutex lock;
    std::condition_variable wake;
    std::unique_lock held(lock);
    while (!DarwinClock::waitUntil(held, wake, deadline, "mach_wait_until")) {
    }
    return KERN_SUCCESS;
}
