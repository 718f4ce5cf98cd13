#include "Mutex.h"

#include <os/log.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <ctime>

namespace Pellix {

namespace {

// Waits longer than this (about 31 years) are as good as unlimited and still fit a timespec.
constexpr double kLongestWait = 1e9;

timespec RelativeTime(double seconds)
{
    double bounded = std::min(seconds, kLongestWait);
    double whole = std::floor(bounded);
    return timespec{time_t(whole), long((bounded - whole) * 1000000000.0)};
}

} // namespace

struct Mutex::ImplData
{
    pthread_mutex_t fMutex;
    pthread_cond_t fCondition;
    // Atomic only so that a look from another thread is no data race; it answers for the owner.
    std::atomic<int> fLockDepth{0};
};

Mutex::Mutex() : fImpl(std::make_unique<ImplData>())
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&fImpl->fMutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    pthread_cond_init(&fImpl->fCondition, nullptr);
}

Mutex::~Mutex()
{
    pthread_cond_destroy(&fImpl->fCondition);
    pthread_mutex_destroy(&fImpl->fMutex);
}

void Mutex::Lock(const char*)
{
    int result = pthread_mutex_lock(&fImpl->fMutex);
    if (result != 0) {
        os_log(OS_LOG_DEFAULT, "pthread_mutex_lock error %d", result);
        return;
    }
    fImpl->fLockDepth.fetch_add(1, std::memory_order_relaxed);
}

void Mutex::Unlock()
{
    fImpl->fLockDepth.fetch_sub(1, std::memory_order_relaxed);
    int result = pthread_mutex_unlock(&fImpl->fMutex);
    if (result != 0) {
        os_log(OS_LOG_DEFAULT, "pthread_mutex_unlock error %d", result);
    }
}

bool Mutex::IsLocked() const
{
    return fImpl->fLockDepth.load(std::memory_order_relaxed) > 0;
}

void Mutex::SignalCondition()
{
    pthread_cond_signal(&fImpl->fCondition);
}

int Mutex::WaitHoldingLock(double seconds)
{
    // The depth as it stands with the lock held, so the wait leaves it as it found it.
    int depth = fImpl->fLockDepth.exchange(0, std::memory_order_relaxed);
    int result;
    if (seconds >= 0) {
        timespec limit = RelativeTime(seconds);
        result = pthread_cond_timedwait_relative_np(&fImpl->fCondition, &fImpl->fMutex, &limit);
    } else {
        // Negative, or not a number: no limit.
        result = pthread_cond_wait(&fImpl->fCondition, &fImpl->fMutex);
    }
    fImpl->fLockDepth.store(depth, std::memory_order_relaxed);
    return result;
}

void Mutex::WaitForCondition(double seconds)
{
    if (WaitHoldingLock(seconds) != 0) {
        os_log(OS_LOG_DEFAULT, "Mutex::WaitForCondition timed out");
    }
}

bool Mutex::WaitForConditionEx(double seconds)
{
    return WaitHoldingLock(seconds) == 0;
}

} // namespace Pellix
