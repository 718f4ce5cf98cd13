#pragma once

// A recursive mutex with one condition and the depth to which its owner holds it.

#include <memory>

namespace Pellix {

class Mutex
{
public:
    Mutex();
    virtual ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    // The caller's text is not used. A failure is logged and leaves the depth.
    void Lock(const char* caller);
    void Unlock();
    // Whether the mutex is held; meaningful to the thread that holds it.
    bool IsLocked() const;
    // Wakes one waiter.
    void SignalCondition();
    // Held once by the caller: waits for a signal, at most `seconds` of the process clock
    // (negative: without limit), and logs "Mutex::WaitForCondition timed out" when none came.
    void WaitForCondition(double seconds);
    // The same without the log line: true when woken, false when the time ran out.
    bool WaitForConditionEx(double seconds);

protected:
    // Held by the caller: waits as WaitForCondition does, the depth put aside meanwhile, and
    // answers the wait's result (0 when woken).
    int WaitHoldingLock(double seconds);

private:
    struct ImplData;
    std::unique_ptr<ImplData> fImpl;
};

} // namespace Pellix
