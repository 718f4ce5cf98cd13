#pragma once

// Lets the owner of an object wait until the users that hold it have let go: each user takes it
// with Lock and returns it with Unlock, and once the owner has begun removal and the last user has let
// go, Lock refuses.

#include "Mutex.h"

namespace Pellix {

class RemoveLock
{
public:
    RemoveLock() = default;
    virtual ~RemoveLock() = default;
    RemoveLock(const RemoveLock&) = delete;
    RemoveLock& operator=(const RemoveLock&) = delete;

    // False once removal has begun and no user holds the lock any more: the caller must not use the
    // object. While users still hold it, a new user joins them and the owner waits for it too.
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
};

} // namespace Pellix
