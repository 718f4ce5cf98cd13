#pragma once

// Counting semaphores. Waiters wake first in, first out; semaphore_signal is safe on real-time
// threads (no allocation, no lock, one atomic update and at most one wake-up).

#include <mach/mach_types.h>

typedef int sync_policy_t;
#define SYNC_POLICY_FIFO 0x0

typedef int clock_res_t;
typedef struct mach_timespec
{
    unsigned int tv_sec;
    clock_res_t tv_nsec;
} mach_timespec_t;

__BEGIN_DECLS

kern_return_t semaphore_create(task_t task, semaphore_t* semaphore, int policy, int value);
kern_return_t semaphore_destroy(task_t task, semaphore_t semaphore);
kern_return_t semaphore_signal(semaphore_t semaphore);
kern_return_t semaphore_signal_all(semaphore_t semaphore);
kern_return_t semaphore_wait(semaphore_t semaphore);

// A zero time-out is a try; tv_sec 4294967295 never times out.
kern_return_t semaphore_timedwait(semaphore_t semaphore, mach_timespec_t wait_time);

__END_DECLS
