#pragma once

// Host time (mach_absolute_time) counts ticks of the host's timebase, which is not a nanosecond on
// every Mac. These convert through mach_timebase_info, rounding up so that a wait so computed never
// ends early, and saturate at the largest count.

#include <mach/mach_time.h>

#include <cstdint>

namespace vork::HostTime {

namespace Detail {

inline uint64_t Scaled(uint64_t value, uint32_t multiplier, uint32_t divisor)
{
    const unsigned __int128 result = ((unsigned __int128)value * multiplier + divisor - 1) / divisor;
    return result > UINT64_MAX ? UINT64_MAX : uint64_t(result);
}

inline mach_timebase_info_data_t Timebase()
{
    mach_timebase_info_data_t timebase{};
    if (mach_timebase_info(&timebase) != KERN_SUCCESS || timebase.numer == 0 || timebase.denom == 0) {
        return {1, 1};
    }
    return timebase;
}

} // namespace Detail

inline uint64_t TicksFromNanoseconds(uint64_t nanoseconds)
{
    const mach_timebase_info_data_t timebase = Detail::Timebase();
    return Detail::Scaled(nanoseconds, timebase.denom, timebase.numer);
}

inline uint64_t NanosecondsFromTicks(uint64_t ticks)
{
    const mach_timebase_info_data_t timebase = Detail::Timebase();
    return Detail::Scaled(ticks, timebase.numer, timebase.denom);
}

// Host time `nanoseconds` from now, saturating.
inline uint64_t DeadlineAfter(uint64_t nanoseconds)
{
    const uint64_t now = mach_absolute_time();
    const uint64_t ticks = TicksFromNanoseconds(nanoseconds);
    return ticks > UINT64_MAX - now ? UINT64_MAX : now + ticks;
}

} // namespace vork::HostTime
