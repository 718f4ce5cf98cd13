#pragma once

// Host time: ticks of the process clock, numer / denom nanoseconds each as mach_timebase_info
// answers. The timebase is 1/1 unless a test chose another (DarwinTesting::ScopedTimebase), so that
// code which takes ticks for nanoseconds is caught.

#include <mach/mach_types.h>

typedef struct mach_timebase_info
{
    uint32_t numer;
    uint32_t denom;
} mach_timebase_info_data_t;
typedef mach_timebase_info_data_t* mach_timebase_info_t;

__BEGIN_DECLS

uint64_t mach_absolute_time(void);
kern_return_t mach_timebase_info(mach_timebase_info_t info);

// Returns once host time has reached `deadline` (in ticks); at once for a past one.
kern_return_t mach_wait_until(uint64_t deadline);

__END_DECLS
