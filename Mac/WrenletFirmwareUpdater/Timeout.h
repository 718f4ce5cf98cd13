#pragma once

// A one-shot main-run-loop timer that calls a member function with stored arguments.

#include "RunLoopTimer.h"

#include <utility>

class Timeout
{
public:
    template <typename Object, typename... Parameters, typename... Arguments>
    void Start(double seconds, Object* object, void (Object::*method)(Parameters...),
               Arguments&&... arguments)
    {
        fTimer.Schedule(seconds, 0,
                        RunLoopTimer::MemberCall(object, method, std::forward<Arguments>(arguments)...));
    }
    void Cancel() { fTimer.Cancel(); }
    bool Pending() const { return fTimer.Pending(); }

private:
    RunLoopTimer fTimer;
};
