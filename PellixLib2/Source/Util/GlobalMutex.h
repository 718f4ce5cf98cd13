#pragma once

// One mutex for the whole process, for whatever callers agree to guard with it.

#include "Mutex.h"

namespace Pellix {

class GlobalMutex
{
public:
    static bool IsLocked();
    static void Lock(const char* caller);
    static void Unlock();
    // Waits at most 2 seconds, logging "Mutex::WaitForCondition timed out" when nobody signals.
    static void WaitForCondition();
    static void SignalCondition();

    static Mutex gMutex;
};

} // namespace Pellix
