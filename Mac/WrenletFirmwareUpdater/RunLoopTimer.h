#pragma once

// A timer on the main run loop that runs a stored action, once or repeatedly. Its owner destroys
// it before anything the action touches, and destruction cancels it.

#include <CoreFoundation/CoreFoundation.h>

#include <functional>
#include <tuple>
#include <utility>

class RunLoopTimer
{
public:
    RunLoopTimer() = default;
    ~RunLoopTimer();
    RunLoopTimer(const RunLoopTimer&) = delete;
    RunLoopTimer& operator=(const RunLoopTimer&) = delete;

    // Replaces what is pending: `action` runs `seconds` from now, then every `interval` seconds
    // when that is not 0.
    void Schedule(double seconds, double interval, std::function<void()> action);
    void Cancel();
    bool Pending() const { return fTimer != nullptr; }

    // An action that calls `method` on `object` with copies of `arguments`.
    template <typename Object, typename... Parameters, typename... Arguments>
    static std::function<void()> MemberCall(Object* object, void (Object::*method)(Parameters...),
                                            Arguments&&... arguments)
    {
        return [object, method, stored = std::make_tuple(std::forward<Arguments>(arguments)...)] {
            std::apply([&](auto&... values) { (object->*method)(values...); }, stored);
        };
    }

private:
    static void Fired(CFRunLoopTimerRef timer, void* info);

    CFRunLoopTimerRef fTimer = nullptr;
    std::function<void()> fAction;
};
