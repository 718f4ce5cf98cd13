#pragma once

// Host time: nanoseconds of the process clock (the timebase is always 1/1).

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

// Returns once host time has reached `deadline`; at once for a past one.
kern_return_t mach_wait_until(uint64_t deadline);

__END_DECLS
