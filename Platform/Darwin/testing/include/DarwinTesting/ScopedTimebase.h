#pragma once

#include <cstdint>

namespace DarwinTesting {

// For its lifetime host time counts ticks of numer / denom nanoseconds, as on a Mac whose timebase
// is not 1/1 (125 / 3 is a 24 MHz counter): mach_timebase_info answers the fraction,
// mach_absolute_time counts on from where it stood, and mach_wait_until takes ticks. Whole
// multiples of numer nanoseconds from the start are whole ticks, so that deadlines of the manual
// clock come out exact. Every other interface, and DarwinClock, keep nanoseconds. Afterwards host
// time counts nanoseconds of the clock again. One at a time.
class ScopedTimebase
{
public:
    ScopedTimebase(uint32_t numer, uint32_t denom);
    ~ScopedTimebase();
    ScopedTimebase(const ScopedTimebase&) = delete;
    ScopedTimebase& operator=(const ScopedTimebase&) = delete;
};

} // namespace DarwinTesting
