#pragma once

#include <chrono>
#include <cstdint>

namespace DarwinTesting {

// Switches the process to manual time for its lifetime: both readings freeze where they stand and
// move only through advance/advanceTo. Destroying it while a finite timed wait or an alarm is
// pending ends the process with a message naming the waiter: stop loops, queues and timers first.
class ManualClock
{
public:
    ManualClock();
    ~ManualClock();
    ManualClock(const ManualClock&) = delete;
    ManualClock& operator=(const ManualClock&) = delete;

    // Walks the pending deadlines up to the target in deadline order: at each one it sets the
    // clock there, wakes what is due, and waits until every woken party has finished serving it
    // (a run loop's pass, a queue's blocks, a plain wait's return). Deadlines created meanwhile
    // within the target are served in the same call. Then the clock stands at the target.
    void advance(std::chrono::nanoseconds by);
    void advanceTo(uint64_t hostTime);

    // The earliest pending deadline of a registered wait or alarm, or DarwinClock::kNever.
    uint64_t nextDeadline() const;
};

} // namespace DarwinTesting
