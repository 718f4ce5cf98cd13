#pragma once

#include <pthread.h>

namespace DarwinRealTime {

// A mutex whose holder, while a thread of higher priority waits for it, runs at that thread's
// priority. For locks that real-time threads share with ordinary ones: an ordinary holder that the
// machine's other work pushes aside cannot keep a real-time thread waiting longer than its own
// critical section. Usable with std::lock_guard and std::unique_lock.
class InheritingMutex
{
public:
    InheritingMutex();
    ~InheritingMutex();
    InheritingMutex(const InheritingMutex&) = delete;
    InheritingMutex& operator=(const InheritingMutex&) = delete;

    void lock();
    bool try_lock();
    void unlock();

private:
    pthread_mutex_t fMutex;
};

} // namespace DarwinRealTime
