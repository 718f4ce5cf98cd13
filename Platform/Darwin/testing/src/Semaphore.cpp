#include <DarwinTesting/Semaphore.h>

#include "InjectedFault.h"
#include "SemaphoreTable.h"

namespace DarwinTesting {

void injectAbortedWaits(semaphore_t semaphore, int count)
{
    if (auto found = Darwin::SemaphoreTable::instance().acquire(semaphore)) {
        found->injectAbortedWaits(count);
    }
}

void failNextSemaphoreCreate(kern_return_t result)
{
    Darwin::semaphoreCreateFault().failNext(result);
}

size_t blockedWaiters(semaphore_t semaphore)
{
    auto found = Darwin::SemaphoreTable::instance().acquire(semaphore);
    return found ? found->blockedWaiters() : 0;
}

} // namespace DarwinTesting
