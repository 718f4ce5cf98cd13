#include <DarwinTesting/ManualClock.h>

#include "ClockState.h"

namespace DarwinTesting {

using DarwinClock::ClockState;

ManualClock::ManualClock()
{
    ClockState::instance().enterManual();
}

ManualClock::~ManualClock()
{
    ClockState::instance().leaveManual();
}

void ManualClock::advance(std::chrono::nanoseconds by)
{
    uint64_t step = by.count() > 0 ? uint64_t(by.count()) : 0;
    advanceTo(DarwinClock::addSaturating(ClockState::instance().hostNow(), step));
}

void ManualClock::advanceTo(uint64_t hostTime)
{
    ClockState::instance().advanceTo(hostTime);
}

uint64_t ManualClock::nextDeadline() const
{
    return ClockState::instance().nextDeadline();
}

} // namespace DarwinTesting
