#pragma once

// A bus thread that serves work at deadlines of the Platform clock: the event thread and the transfer
// worker. Between passes it waits, registered with the clock, until the deadline its pass returned or
// a wake, so that a manual-clock advance both wakes it and waits for it to finish serving.

#include <Darwin/Clock.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace SimUSB {

class ServiceThread
{
public:
    // `lock` guards the thread's state and whatever its passes touch.
    ServiceThread(const char* name, std::mutex& lock);

    // Runs `pass` with the lock held until stopped. A pass returns the deadline of its next one, or
    // nothing to be run again at once.
    void start(std::function<std::optional<uint64_t>(std::unique_lock<std::mutex>&)> pass);
    void stop();

    // With the lock held: work was queued for the thread.
    void notify();
    // The number of the thread's next wait.
    uint64_t nextPass() const { return fPasses + 1; }
    // With the lock held, on the manual clock and off the thread: returns once the thread has begun
    // wait number `pass` (or `instead()` holds), so that an advance that follows finds the deadline
    // of what the caller queued, and notified, after `nextPass()` gave that number. It does not wake
    // the thread itself: a wake after that wait has begun would take its deadline away for a moment.
    void awaitPass(std::unique_lock<std::mutex>& lock, uint64_t pass,
                   const std::function<bool()>& instead = {});

    bool onThread() const { return std::this_thread::get_id() == fId; }
    // Told whenever the thread begins a wait; the owner may use it for its own notifications too.
    std::condition_variable& passed() { return fPassed; }

private:
    void serve(const std::function<std::optional<uint64_t>(std::unique_lock<std::mutex>&)>& pass);

    const char* fName;
    std::mutex& fLock;
    std::condition_variable fWake;
    std::condition_variable fPassed;
    std::vector<DarwinClock::Activity> fActivities;
    uint64_t fPasses = 0;
    bool fStopping = false;
    std::thread fThread;
    std::thread::id fId;
};

} // namespace SimUSB
