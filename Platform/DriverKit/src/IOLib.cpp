#include <DriverKit/IOLib.h>

#include <Darwin/Clock.h>

#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

void IOLog(const char* format, ...)
{
    char line[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof(line), format, arguments);
    va_end(arguments);
    os_log(OS_LOG_DEFAULT, "%s", line);
}

void IOSleep(uint64_t milliseconds)
{
    const uint64_t deadline = DarwinClock::addSaturating(DarwinClock::hostNow(), milliseconds * 1'000'000);
    std::mutex mutex;
    std::condition_variable never;
    std::unique_lock lock(mutex);
    while (!DarwinClock::waitUntil(lock, never, deadline, "IOSleep")) {
    }
}

void* IOMallocZero(size_t size)
{
    return std::calloc(1, size);
}

void IOFree(void* address, size_t)
{
    std::free(address);
}

struct IOLock
{
    std::mutex mutex;
};

IOLock* IOLockAlloc()
{
    return new IOLock;
}

void IOLockLock(IOLock* lock)
{
    lock->mutex.lock();
}

void IOLockUnlock(IOLock* lock)
{
    lock->mutex.unlock();
}

void IOLockFree(IOLock* lock)
{
    delete lock;
}

struct IORecursiveLock
{
    std::recursive_mutex mutex;
};

IORecursiveLock* IORecursiveLockAlloc()
{
    return new IORecursiveLock;
}

void IORecursiveLockLock(IORecursiveLock* lock)
{
    lock->mutex.lock();
}

void IORecursiveLockUnlock(IORecursiveLock* lock)
{
    lock->mutex.unlock();
}

void IORecursiveLockFree(IORecursiveLock* lock)
{
    delete lock;
}
