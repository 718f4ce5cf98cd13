#pragma once

// The C library's threads, with the two calls the system's code adds from the platform.

#include_next <pthread.h>

#include <mach/mach_types.h>

__BEGIN_DECLS

// Waits at most `reltime` on the process clock: 0 when signalled, ETIMEDOUT once the time has
// passed, EINVAL for a missing or malformed time.
int pthread_cond_timedwait_relative_np(pthread_cond_t* cond, pthread_mutex_t* mutex,
                                       const struct timespec* reltime);

// A name for the thread, stable for its life and different from every other live thread's;
// MACH_PORT_NULL for a thread that has ended.
mach_port_t pthread_mach_thread_np(pthread_t thread);

__END_DECLS
