#include "InjectedFault.h"
#include "Names.h"
#include "SemaphoreTable.h"

#include <Darwin/Clock.h>

#include <climits>

using Darwin::SemaphoreTable;

kern_return_t semaphore_create(task_t task, semaphore_t* semaphore, int policy, int value)
{
    if (task != Darwin::kTaskName || !semaphore || policy != SYNC_POLICY_FIFO || value < 0) {
        return KERN_INVALID_ARGUMENT;
    }
    if (kern_return_t fault = Darwin::semaphoreCreateFault().take(); fault != KERN_SUCCESS) {
        return fault;
    }
    *semaphore = SemaphoreTable::instance().create(value);
    return KERN_SUCCESS;
}

kern_return_t semaphore_destroy(task_t task, semaphore_t semaphore)
{
    if (task != Darwin::kTaskName || !SemaphoreTable::instance().destroy(semaphore)) {
        return KERN_INVALID_ARGUMENT;
    }
    return KERN_SUCCESS;
}

kern_return_t semaphore_signal(semaphore_t semaphore)
{
    Darwin::Semaphore* found = SemaphoreTable::find(semaphore);
    return found ? found->signal() : KERN_INVALID_ARGUMENT;
}

kern_return_t semaphore_signal_all(semaphore_t semaphore)
{
    auto found = SemaphoreTable::instance().acquire(semaphore);
    return found ? found->signalAll() : KERN_INVALID_ARGUMENT;
}

kern_return_t semaphore_wait(semaphore_t semaphore)
{
    auto found = SemaphoreTable::instance().acquire(semaphore);
    return found ? found->wait(DarwinClock::kNever, false) : KERN_INVALID_ARGUMENT;
}

kern_return_t semaphore_timedwait(semaphore_t semaphore, mach_timespec_t wait_time)
{
    if (wait_time.tv_nsec < 0 || wait_time.tv_nsec > 999999999) {
        return KERN_INVALID_VALUE;
    }
    auto found = SemaphoreTable::instance().acquire(semaphore);
    if (!found) {
        return KERN_INVALID_ARGUMENT;
    }
    if (wait_time.tv_sec == 0 && wait_time.tv_nsec == 0) {
        return found->wait(DarwinClock::kNever, true);
    }
    uint64_t deadline = DarwinClock::kNever;
    if (wait_time.tv_sec != UINT_MAX) {
        uint64_t timeout = uint64_t(wait_time.tv_sec) * 1000000000u + uint64_t(wait_time.tv_nsec);
        deadline = DarwinClock::addSaturating(DarwinClock::hostNow(), timeout);
    }
    return found->wait(deadline, false);
}
