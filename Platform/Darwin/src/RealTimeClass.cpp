#include <Darwin/RealTimeClass.h>

#include "RealTimeSwitch.h"

#include <pthread.h>
#include <sched.h>

namespace DarwinRealTime {

bool enter(int below)
{
    sched_param parameters = {};
    parameters.sched_priority = sched_get_priority_max(SCHED_FIFO) - below;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters) == 0;
}

bool forDriverThreads()
{
    return driverThreadsSwitch().load(std::memory_order_acquire);
}

std::atomic<bool>& driverThreadsSwitch()
{
    static std::atomic<bool> on{false};
    return on;
}

} // namespace DarwinRealTime
