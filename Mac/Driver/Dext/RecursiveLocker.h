#pragma once

#include <DriverKit/IOLib.h>

// Holds a recursive lock for a scope.
class RecursiveLocker
{
public:
    explicit RecursiveLocker(IORecursiveLock* lock) : fLock(lock) { IORecursiveLockLock(fLock); }
    ~RecursiveLocker() { IORecursiveLockUnlock(fLock); }
    RecursiveLocker(const RecursiveLocker&) = delete;
    RecursiveLocker& operator=(const RecursiveLocker&) = delete;

private:
    IORecursiveLock* fLock;
};
