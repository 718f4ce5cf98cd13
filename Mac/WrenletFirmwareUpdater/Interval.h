#pragma once

// A repeating main-run-loop timer that calls a member function with stored arguments.

#include "RunLoopTimer.h"

#include <utility>

class Interval
{
public:
    template <typename Object, typename... Parameters, typename... Arguments>
    void Start(double seconds, Object* object, void (Object::*method)(Parameters...),
               Arguments&&... arguments)
    {
        fTimer.Schedule(seconds, seconds,
                        RunLoopTimer::MemberCall(object, method, std::forward<Arguments>(arguments)...));
    }
    void Stop() { fTimer.Cancel(); }
    bool Running() const { return fTimer.Pending(); }

private:
    RunLoopTimer fTimer;
};
