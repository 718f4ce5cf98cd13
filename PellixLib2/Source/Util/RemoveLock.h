#pragma once

// Lets the owner of an object wait until the users that hold it have let go: each user takes it
// with Lock and returns it with Unlock, and once the owner has begun removal Lock refuses.

#include "Mutex.h"

namespace Pellix {

class RemoveLock
{
public:
    RemoveLock() = default;
    virtual ~RemoveLock() = default;
    RemoveLock(const RemoveLock&) = delete;
    RemoveLock& operator=(const RemoveLock&) = delete;

    // False once removal has begun, also when it gave up waiting for users: the caller must not use
    // the object.
    bool Lock();
    void Unlock();
    // Drops the owner's own reference and waits, at most 2 seconds of the process clock, until no
    // user holds the lock; logs "Mutex::WaitForCondition timed out" when they did not let go.
    void WaitToRemove();
    // Usable again, with the owner's reference only.
    void Reset();

protected:
    Mutex fMutex;
    // The owner's reference plus one per user.
    int fCount = 1;
    bool fRemoving = false;
};

} // namespace Pellix
