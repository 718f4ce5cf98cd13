#pragma once

#include "ModeSet.h"

#include <CFPlatform/Object.h>
#include <CoreFoundation/CFRunLoop.h>

#include <atomic>
#include <cstdint>
#include <tuple>

namespace CFPlatform {

class RunLoop;

// A run-loop timer. Its fire date becomes a host-time deadline when it is set; the loop that holds
// it keeps it in its heap by (deadline, fire date, order, creation).
class Timer final : public Object
{
public:
    Timer(CFAbsoluteTime fireDate, CFTimeInterval interval, CFIndex order, CFRunLoopTimerCallBack callout,
          const CFRunLoopTimerContext* context);

    static CFTypeID staticTypeID();
    CFTypeID typeID() const override { return staticTypeID(); }

    bool repeats() const { return fInterval > 0; }
    CFTimeInterval interval() const { return fInterval; }
    bool isValid() const { return fValid.load(std::memory_order_acquire); }

    void fire();
    // The first of fire date + k x interval later than `now`; never beyond the largest finite double.
    CFAbsoluteTime nextPhaseDate(CFAbsoluteTime now) const;
    // Dates long past all have deadline 0: their dates still order them.
    bool firesBefore(const Timer& other) const
    {
        return std::tie(fDeadline, fFireDate, fOrder, fCreation) <
               std::tie(other.fDeadline, other.fFireDate, other.fOrder, other.fCreation);
    }
    bool isInMode(size_t modeIndex) const { return fModes.contains(modeIndex); }

    CFAbsoluteTime nextFireDate() const;
    void setNextFireDate(CFAbsoluteTime date);
    void invalidate();

    // Changed with the structure lock held and, while the timer is in a loop, that loop's lock too;
    // read with either.
    RunLoop* fLoop = nullptr;
    ModeSet fModes;
    bool fInCommonModes = false;
    CFAbsoluteTime fFireDate;
    uint64_t fDeadline;
    size_t fHeapIndex = 0;
    // Changed with the owning loop's lock held: the callout is running, and a date set meanwhile
    // is kept after it.
    bool fFiring = false;
    bool fRearmed = false;
    std::atomic<bool> fValid{true};

private:
    ~Timer() override;

    const CFTimeInterval fInterval;
    const CFIndex fOrder;
    const uint64_t fCreation;
    const CFRunLoopTimerCallBack fCallout;
    CFRunLoopTimerContext fContext{};
};

} // namespace CFPlatform
