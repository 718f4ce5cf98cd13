#pragma once

// A repeating timer that calls DoTimerCallback on a work-loop thread of its own.
//
// Once Stop has returned on another thread, no DoTimerCallback runs or will run. A subclass must
// call Stop in its own destructor, before its part of the object goes: the base destructor stops
// the timer too late for a tick that is under way. Start and Stop may be called from any thread;
// called from inside DoTimerCallback, Stop stops the timer without waiting for the thread, and
// Start is ignored. A timer is never destroyed from inside its own DoTimerCallback.

#include <memory>

namespace Pellix {

class WorkLoopItem;

class Timer
{
public:
    Timer();
    virtual ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    virtual void DoTimerCallback() = 0;

    // Starts the timer with the interval set last; a started timer keeps running. The argument is
    // not used.
    void Start(bool = false);
    void Stop();
    // Takes effect at the next start.
    void SetInterval(double seconds);
    bool Started() const;

private:
    struct TimerData;

    static bool Tick(WorkLoopItem* item, void* userData);

    std::unique_ptr<TimerData> fData;
};

} // namespace Pellix
