#include "Timer.h"

#include "CheckedRef.h"
#include "RunLoop.h"
#include "StructureLock.h"

#include <Darwin/Clock.h>

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace CFPlatform {

namespace {

uint64_t nextCreation()
{
    static std::atomic<uint64_t> counter{0};
    return counter.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

Timer::Timer(CFAbsoluteTime fireDate, CFTimeInterval interval, CFIndex order, CFRunLoopTimerCallBack callout,
             const CFRunLoopTimerContext* context)
    : fFireDate(fireDate), fDeadline(DarwinClock::deadlineForDate(fireDate)), fInterval(interval),
      fOrder(order), fCreation(nextCreation()), fCallout(callout)
{
    if (context) {
        fContext = *context;
        if (fContext.retain) {
            fContext.info = const_cast<void*>(fContext.retain(fContext.info));
        }
    }
}

Timer::~Timer()
{
    if (fContext.release) {
        fContext.release(fContext.info);
    }
}

CFTypeID Timer::staticTypeID()
{
    static const CFTypeID type = registerType("CFRunLoopTimer");
    return type;
}

void Timer::fire()
{
    if (fCallout) {
        fCallout(refOf<CFRunLoopTimerRef>(*this), fContext.info);
    }
}

CFAbsoluteTime Timer::nextPhaseDate(CFAbsoluteTime now) const
{
    CFAbsoluteTime next = fFireDate + fInterval;
    if (!(next > now)) {
        // Late: skip the missed firings and keep the phase.
        next = fFireDate + (std::floor((now - fFireDate) / fInterval) + 1) * fInterval;
        if (!(next > now)) {
            next += fInterval;
        }
    }
    // An interval of the largest finite double means "never again", without overflow.
    return std::isnan(next) ? DBL_MAX : std::min(next, DBL_MAX);
}

CFAbsoluteTime Timer::nextFireDate() const
{
    std::lock_guard structure(runLoopStructureLock());
    return fFireDate;
}

void Timer::setNextFireDate(CFAbsoluteTime date)
{
    uint64_t deadline = DarwinClock::deadlineForDate(date);
    WakeAfterUnlock wake;
    std::lock_guard structure(runLoopStructureLock());
    if (!isValid()) {
        return;
    }
    if (fLoop) {
        fLoop->rescheduleTimer(*this, date, deadline, wake);
    } else {
        fFireDate = date;
        fDeadline = deadline;
    }
}

void Timer::invalidate()
{
    bool leftLoop = false;
    {
        WakeAfterUnlock wake;
        std::lock_guard structure(runLoopStructureLock());
        if (!fValid.exchange(false, std::memory_order_acq_rel)) {
            return;
        }
        if (fLoop) {
            fLoop->dropTimer(*this, wake);
            leftLoop = true;
        }
    }
    // The loop's reference; the caller holds another.
    if (leftLoop) {
        release();
    }
}

} // namespace CFPlatform
