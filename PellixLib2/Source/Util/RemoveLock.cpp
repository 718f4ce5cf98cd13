#include "RemoveLock.h"

#include "Basics/SystemTime.h"

#include <os/log.h>

namespace Pellix {

namespace {

constexpr unsigned long long kRemoveWaitNanoseconds = 2000000000;

} // namespace

bool RemoveLock::Lock()
{
    fMutex.Lock("RemoveLock::Lock");
    // While users still hold it, one more may join, even once removal has begun.
    bool usable = fCount > 0;
    if (usable) {
        ++fCount;
    }
    fMutex.Unlock();
    return usable;
}

void RemoveLock::Unlock()
{
    fMutex.Lock("RemoveLock::Unlock");
    if (--fCount <= 0) {
        fMutex.SignalCondition();
    }
    fMutex.Unlock();
}

void RemoveLock::WaitToRemove()
{
    fMutex.Lock("RemoveLock::WaitToRemove");
    --fCount;
    // A wake-up may be spurious: the count decides, within 2 seconds of the call.
    unsigned long long deadline = GetSystemTime() + NanosecondsToSystemTime(kRemoveWaitNanoseconds);
    while (fCount > 0) {
        unsigned long long now = GetSystemTime();
        if (now >= deadline) {
            os_log(OS_LOG_DEFAULT, "Mutex::WaitForCondition timed out");
            break;
        }
        fMutex.WaitForConditionEx(double(SystemTimeToNanoseconds(deadline - now)) / 1e9);
    }
    fMutex.Unlock();
}

void RemoveLock::Reset()
{
    fMutex.Lock("RemoveLock::Reset");
    fCount = 1;
    fMutex.Unlock();
}

} // namespace Pellix
