#include <Darwin/Clock.h>

#include <pthread.h>

#include <cerrno>
#include <ctime>

namespace {

struct ConditionWake
{
    pthread_mutex_t* fMutex;
    pthread_cond_t* fCondition;
    // Set under the mutex when the clock woke the wait.
    bool fWoken = false;

    static void wake(void* context)
    {
        auto* self = static_cast<ConditionWake*>(context);
        pthread_mutex_lock(self->fMutex);
        self->fWoken = true;
        pthread_cond_broadcast(self->fCondition);
        pthread_mutex_unlock(self->fMutex);
    }
};

timespec timespecOf(std::chrono::steady_clock::time_point when)
{
    auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
    return timespec{time_t(since / 1000000000), long(since % 1000000000)};
}

} // namespace

int pthread_cond_timedwait_relative_np(pthread_cond_t* cond, pthread_mutex_t* mutex,
                                       const struct timespec* reltime)
{
    if (!reltime || reltime->tv_sec < 0 || reltime->tv_nsec < 0 || reltime->tv_nsec > 999999999) {
        return EINVAL;
    }
    uint64_t timeout = uint64_t(reltime->tv_nsec);
    uint64_t seconds = uint64_t(reltime->tv_sec);
    timeout = seconds > (DarwinClock::kNever - timeout) / 1000000000u ? DarwinClock::kNever
                                                                      : seconds * 1000000000u + timeout;
    uint64_t deadline = DarwinClock::addSaturating(DarwinClock::hostNow(), timeout);
    if (DarwinClock::hostNow() >= deadline) {
        return ETIMEDOUT;
    }
    ConditionWake wake{mutex, cond};
    int result = 0;
    {
        DarwinClock::WaitRegistration registration(deadline, "pthread_cond_timedwait_relative_np",
                                                   &ConditionWake::wake, &wake);
        for (;;) {
            int status;
            if (auto real = registration.realDeadline()) {
                timespec until = timespecOf(*real);
                status = pthread_cond_clockwait(cond, mutex, CLOCK_MONOTONIC, &until);
            } else {
                status = pthread_cond_wait(cond, mutex);
            }
            if (DarwinClock::hostNow() >= deadline) {
                result = ETIMEDOUT;
                break;
            }
            // A real-time wait that ended a hair before host time reached the deadline goes on.
            // Anything else is a wake-up, which callers re-check as with any condition wait.
            if (status != ETIMEDOUT || wake.fWoken) {
                break;
            }
        }
        // Unregistering waits for a wake in progress, which takes this mutex.
        pthread_mutex_unlock(mutex);
    }
    pthread_mutex_lock(mutex);
    return result;
}
