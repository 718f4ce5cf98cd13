#include "SystemTime.h"

#include "SystemTimebase.h"

#include <mach/mach_time.h>

#include <limits>

namespace Pellix {

namespace {

unsigned long long Scaled(unsigned long long value, uint32_t multiplier, uint32_t divisor)
{
    unsigned __int128 result = (unsigned __int128)value * multiplier / divisor;
    constexpr unsigned long long kLargest = std::numeric_limits<unsigned long long>::max();
    return result > kLargest ? kLargest : (unsigned long long)result;
}

SystemTimebase ReadHostTimebase()
{
    mach_timebase_info_data_t info{};
    if (mach_timebase_info(&info) != KERN_SUCCESS || info.numer == 0 || info.denom == 0) {
        return SystemTimebase{1, 1};
    }
    return SystemTimebase{info.numer, info.denom};
}

} // namespace

SystemTimebase HostTimebase()
{
    static const SystemTimebase sTimebase = ReadHostTimebase();
    return sTimebase;
}

unsigned long long TicksToNanoseconds(unsigned long long ticks, SystemTimebase timebase)
{
    return Scaled(ticks, timebase.fNumer, timebase.fDenom);
}

unsigned long long NanosecondsToTicks(unsigned long long nanoseconds, SystemTimebase timebase)
{
    return Scaled(nanoseconds, timebase.fDenom, timebase.fNumer);
}

double TicksPerSecond(SystemTimebase timebase)
{
    // A tick is numer / denom nanoseconds.
    return 1e9 * timebase.fDenom / timebase.fNumer;
}

unsigned long long GetSystemTime()
{
    return mach_absolute_time();
}

unsigned long long SystemTimeToNanoseconds(unsigned long long ticks)
{
    return TicksToNanoseconds(ticks, HostTimebase());
}

unsigned long long NanosecondsToSystemTime(unsigned long long nanoseconds)
{
    return NanosecondsToTicks(nanoseconds, HostTimebase());
}

double GetSystemTicksPerSecond()
{
    return TicksPerSecond(HostTimebase());
}

} // namespace Pellix
