#pragma once

// The ticks host time counts through mach_absolute_time. A tick is a nanosecond of the clock unless
// a test chose another timebase (DarwinTesting::ScopedTimebase): then ticks go on from the count
// that stood when it was chosen, numer / denom nanoseconds each. Private to Platform/Darwin and
// DarwinTesting.

#include <cstdint>

namespace Darwin {

struct TimebaseFraction
{
    uint32_t numer;
    uint32_t denom;
};

TimebaseFraction hostTimebase();

// The tick count at clock time `host` (nanoseconds), rounded down.
uint64_t hostTicksAt(uint64_t host);

// The clock time at which the tick count reaches `ticks`, rounded up, so that a wait until then
// never ends before; DarwinClock::kNever when the clock cannot hold it.
uint64_t hostTimeAtTicks(uint64_t ticks);

// From now on a tick is numer / denom nanoseconds; 1 / 1 counts nanoseconds of the clock again.
void chooseHostTimebase(TimebaseFraction fraction);

} // namespace Darwin
