#pragma once

// Lets the IO cycle run unless configuration work has disabled IO. The IO cycle only tries the
// lock and skips its work when IO is disabled; whoever disables IO waits until no cycle is inside.
//
// IO starts disabled: a device enables it once audio is flowing, so no cycle runs on unmapped
// rings.

#include <condition_variable>
#include <cstdint>
#include <mutex>

class IOLock
{
public:
    IOLock() = default;
    IOLock(const IOLock&) = delete;
    IOLock& operator=(const IOLock&) = delete;

    // True when IO is enabled; the caller then holds the lock until Unlock. Never waits for a
    // disabler.
    bool TryLock();
    void Unlock();

    // Returns once no IO cycle holds the lock; none can take it until IO is enabled again.
    void DisableIO();
    void EnableIO();

    // Disables IO for its lifetime.
    class Disabler
    {
    public:
        explicit Disabler(IOLock& lock) : fLock(lock) { fLock.DisableIO(); }
        ~Disabler() { fLock.EnableIO(); }
        Disabler(const Disabler&) = delete;
        Disabler& operator=(const Disabler&) = delete;

    private:
        IOLock& fLock;
    };

private:
    std::mutex fMutex;
    std::condition_variable fUnlocked;
    int32_t fDisableCount = 1;
    int32_t fLockCount = 0;
};
