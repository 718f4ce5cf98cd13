#pragma once

// Logging, sleeping, zero-filled allocations and locks for drivers.

#include <DriverKit/IOTypes.h>

#include <os/log.h>

// To the Platform/Darwin log sink.
void IOLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Waits on the Platform clock, so the manual clock moves it.
void IOSleep(uint64_t milliseconds);

void* IOMallocZero(size_t size);
void IOFree(void* address, size_t size);

struct IOLock;
IOLock* IOLockAlloc();
void IOLockLock(IOLock* lock);
void IOLockUnlock(IOLock* lock);
void IOLockFree(IOLock* lock);

struct IORecursiveLock;
IORecursiveLock* IORecursiveLockAlloc();
void IORecursiveLockLock(IORecursiveLock* lock);
void IORecursiveLockUnlock(IORecursiveLock* lock);
void IORecursiveLockFree(IORecursiveLock* lock);
