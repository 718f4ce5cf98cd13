// Serving the endpoints from a clock alarm on the manual clock: an advance runs the alarm on its own
// thread, so the thousands of microframes of a simulated second cost no thread hand-off each.

#include "BusCore.h"

#include <utility>

namespace SimUSB {

void BusCore::serveByAlarm(std::unique_lock<std::mutex>& lock)
{
    const uint64_t next = processDevices(DarwinClock::hostNow());
    if (fDoneHead != nullptr && !fWorker.onThread()) {
        fWorker.notify();
    }
    planAlarm(next, lock);
}

void BusCore::planAlarm(uint64_t deadline, std::unique_lock<std::mutex>& lock)
{
    if (deadline == fAlarmDeadline || fAlarmStopped) {
        return;
    }
    const DarwinClock::AlarmId stale = std::exchange(fAlarm, 0);
    fAlarmDeadline = deadline;
    const uint64_t generation = ++fAlarmGeneration;
    if (deadline != DarwinClock::kNever) {
        fAlarm = DarwinClock::scheduleAlarm(
            deadline, [this, generation] { alarmFired(generation); }, "SimUSB microframes");
    }
    if (stale != 0) {
        lock.unlock();
        DarwinClock::cancelAlarm(stale);
        lock.lock();
    }
}

void BusCore::alarmFired(uint64_t generation)
{
    std::unique_lock lock(fLock);
    if (generation != fAlarmGeneration) {
        return;
    }
    fAlarm = 0;
    fAlarmDeadline = DarwinClock::kNever;
    serveByAlarm(lock);
}

void BusCore::stopAlarm()
{
    DarwinClock::AlarmId alarm;
    {
        std::lock_guard lock(fLock);
        fAlarmStopped = true;
        alarm = std::exchange(fAlarm, 0);
        fAlarmDeadline = DarwinClock::kNever;
    }
    if (alarm != 0) {
        DarwinClock::cancelAlarm(alarm);
    }
}

} // namespace SimUSB
