#pragma once

// The library's clock: ticks of the host's monotonic clock (mach_absolute_time), and conversions
// through the host's timebase. On this platform a tick is one nanosecond.

namespace Pellix {

unsigned long long GetSystemTime();
unsigned long long SystemTimeToNanoseconds(unsigned long long ticks);
unsigned long long NanosecondsToSystemTime(unsigned long long nanoseconds);
double GetSystemTicksPerSecond();

} // namespace Pellix
