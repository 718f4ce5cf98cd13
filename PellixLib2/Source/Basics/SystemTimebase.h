#pragma once

// Tick conversions for a given timebase; the library's clock uses the host's, read once.

#include <cstdint>

namespace Pellix {

// A tick is fNumer / fDenom nanoseconds.
struct SystemTimebase
{
    uint32_t fNumer;
    uint32_t fDenom;
};

// The host's timebase; 1/1 when the host answers none.
SystemTimebase HostTimebase();

// Both saturate at the largest count.
unsigned long long TicksToNanoseconds(unsigned long long ticks, SystemTimebase timebase);
unsigned long long NanosecondsToTicks(unsigned long long nanoseconds, SystemTimebase timebase);
double TicksPerSecond(SystemTimebase timebase);

} // namespace Pellix
