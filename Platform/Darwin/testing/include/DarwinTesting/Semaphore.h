#pragma once

#include <mach/semaphore.h>

#include <cstddef>

namespace DarwinTesting {

// The next `count` waits on the semaphore return KERN_ABORTED at once without taking a count.
void injectAbortedWaits(semaphore_t semaphore, int count);

// The next semaphore_create of the process, on any thread, returns `result` and creates nothing.
void failNextSemaphoreCreate(kern_return_t result);

// How many threads are blocked in a wait on the semaphore.
size_t blockedWaiters(semaphore_t semaphore);

} // namespace DarwinTesting
