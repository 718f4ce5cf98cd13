#include "ServiceThread.h"

#include <Darwin/RealTimeClass.h>

#include <sys/prctl.h>

namespace SimUSB {

ServiceThread::ServiceThread(const char* name, std::mutex& lock) : fName(name), fLock(lock) {}

void ServiceThread::start(std::function<std::optional<uint64_t>(std::unique_lock<std::mutex>&)> pass)
{
    fThread = std::thread([this, pass = std::move(pass)] { serve(pass); });
    fId = fThread.get_id();
}

void ServiceThread::stop()
{
    if (!fThread.joinable()) {
        return;
    }
    {
        std::lock_guard lock(fLock);
        fStopping = true;
        fWake.notify_all();
        fPassed.notify_all();
    }
    fThread.join();
}

void ServiceThread::notify()
{
    if (DarwinClock::isManual()) {
        fActivities.emplace_back(fName, fId);
    }
    fWake.notify_all();
}

void ServiceThread::awaitPass(std::unique_lock<std::mutex>& lock, uint64_t pass,
                              const std::function<bool()>& instead)
{
    if (!DarwinClock::isManual() || onThread()) {
        return;
    }
    fPassed.wait(lock, [&] { return fPasses >= pass || fStopping || (instead && instead()); });
}

void ServiceThread::serve(const std::function<std::optional<uint64_t>(std::unique_lock<std::mutex>&)>& pass)
{
    // Deadlines are kept to the microsecond, not up to Linux's default slack for timed waits (50 us)
    // late: a late wake would move the bus's work from where it is planned, between frame
    // boundaries, onto them.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    // The bus stands for hardware, which no program holds up.
    if (DarwinRealTime::forDriverThreads()) {
        DarwinRealTime::enter(DarwinRealTime::kHardwareLevel);
    }
    // Whatever the manual clock wakes is served until the thread waits again, even when it blocks on
    // a lock meanwhile.
    DarwinClock::ServiceScope scope(fName);
    std::unique_lock lock(fLock);
    while (!fStopping) {
        const std::optional<uint64_t> next = pass(lock);
        if (!next || fStopping) {
            continue;
        }
        {
            DarwinClock::WaitRegistration registration(
                *next, fName,
                [](void* self) {
                    auto* thread = static_cast<ServiceThread*>(self);
                    // Taking the lock makes sure the thread is inside its wait; it is told after
                    // the lock is free again, so that it does not wake only to wait for the lock.
                    {
                        std::lock_guard wakeLock(thread->fLock);
                    }
                    thread->fWake.notify_all();
                },
                this);
            fActivities.clear();
            ++fPasses;
            fPassed.notify_all();
            if (auto real = registration.realDeadline()) {
                fWake.wait_until(lock, *real);
            } else {
                fWake.wait(lock);
            }
            // Unregistering waits for a wake in progress, which takes the lock.
            lock.unlock();
        }
        lock.lock();
    }
}

} // namespace SimUSB
