#include "IOLock.h"

#include "Log.h"

bool IOLock::TryLock()
{
    std::lock_guard<std::mutex> lock(fMutex);
    if (fDisableCount > 0) {
        return false;
    }
    ++fLockCount;
    return true;
}

void IOLock::Unlock()
{
    std::lock_guard<std::mutex> lock(fMutex);
    --fLockCount;
    if (fLockCount == 0 && fDisableCount > 0) {
        fUnlocked.notify_all();
    }
}

void IOLock::DisableIO()
{
    std::unique_lock<std::mutex> lock(fMutex);
    ++fDisableCount;
    TIDE_LOG(Log::Info, "DisableIO %d, fLockCount %d", int(fDisableCount), int(fLockCount));
    fUnlocked.wait(lock, [this] { return fLockCount <= 0; });
}

void IOLock::EnableIO()
{
    std::lock_guard<std::mutex> lock(fMutex);
    --fDisableCount;
    TIDE_LOG(Log::Info, "EnableIO fDisableCount %d", int(fDisableCount));
}
