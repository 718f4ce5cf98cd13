#include "HostTimebase.h"

#include <Darwin/Clock.h>

#include <atomic>
#include <mutex>

namespace Darwin {

namespace {

struct Timebase
{
    TimebaseFraction fraction{1, 1};
    // The clock time and the tick count when it was chosen.
    uint64_t originHost = 0;
    uint64_t originTicks = 0;
};

// Host time is read on real-time paths: while no test chose a timebase, a reading takes one load.
std::atomic<bool> gChosen{false};
std::mutex gLock;
Timebase gTimebase;

uint64_t scaled(uint64_t value, uint32_t multiplier, uint32_t divisor, bool roundUp)
{
    const unsigned __int128 product = (unsigned __int128)value * multiplier + (roundUp ? divisor - 1 : 0);
    const unsigned __int128 result = product / divisor;
    return result > DarwinClock::kNever ? DarwinClock::kNever : uint64_t(result);
}

// Under gLock. A reading taken before the timebase was chosen counts as taken when it was.
uint64_t ticksAtLocked(uint64_t host)
{
    const Timebase& base = gTimebase;
    if (host <= base.originHost) {
        return base.originTicks;
    }
    return DarwinClock::addSaturating(
        base.originTicks, scaled(host - base.originHost, base.fraction.denom, base.fraction.numer, false));
}

} // namespace

TimebaseFraction hostTimebase()
{
    if (!gChosen.load(std::memory_order_acquire)) {
        return {1, 1};
    }
    std::lock_guard lock(gLock);
    return gTimebase.fraction;
}

uint64_t hostTicksAt(uint64_t host)
{
    if (!gChosen.load(std::memory_order_acquire)) {
        return host;
    }
    std::lock_guard lock(gLock);
    return ticksAtLocked(host);
}

uint64_t hostTimeAtTicks(uint64_t ticks)
{
    if (!gChosen.load(std::memory_order_acquire) || ticks == DarwinClock::kNever) {
        return ticks;
    }
    std::lock_guard lock(gLock);
    const Timebase& base = gTimebase;
    if (ticks <= base.originTicks) {
        // Reached by the time the timebase was chosen.
        return base.originHost;
    }
    return DarwinClock::addSaturating(
        base.originHost, scaled(ticks - base.originTicks, base.fraction.numer, base.fraction.denom, true));
}

void chooseHostTimebase(TimebaseFraction fraction)
{
    std::lock_guard lock(gLock);
    const uint64_t host = DarwinClock::hostNow();
    const uint64_t ticks = ticksAtLocked(host);
    const bool nanoseconds = fraction.numer == fraction.denom;
    gTimebase = nanoseconds ? Timebase{} : Timebase{fraction, host, ticks};
    gChosen.store(!nanoseconds, std::memory_order_release);
}

} // namespace Darwin
