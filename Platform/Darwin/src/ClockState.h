#pragma once

// The clock's shared state: its readings, the registered waits, the parties the manual clock waits
// for, the activities handed on and the alarms. Private to Platform/Darwin and DarwinTesting.

#include <Darwin/Clock.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace DarwinClock {

// What the readings are made of. Constant-initialised, so reading the clock needs no guard.
struct ClockReadings
{
    std::atomic<bool> fManual{false};
    std::atomic<int64_t> fHostOffset{0};
    std::atomic<double> fAbsoluteOffset{0.0};
    std::atomic<uint64_t> fManualHost{0};
    // On the manual clock absolute time is fManualAbsoluteBase + (host - fManualHostBase) / 1e9.
    std::atomic<double> fManualAbsoluteBase{0.0};
    std::atomic<uint64_t> fManualHostBase{0};
};

extern constinit ClockReadings gReadings;

inline uint64_t monotonicNow()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

inline double realtimeSince2001()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return double(ts.tv_sec) - 978307200.0 + double(ts.tv_nsec) * 1e-9;
}

// One per thread that ever waited on the clock or served it.
struct ThreadParty
{
    std::thread::id fThread = std::this_thread::get_id();
    int fTid = 0;
    const char* fName = "thread";
    int fScopeDepth = 0;
    // Woken by a manual advance and not yet done serving it. Written under the state lock.
    std::atomic<bool> fBusy{false};
    // Its plain wait has returned; it stays busy until it blocks again, so that what it does right
    // after the wait (typically reading the clock) happens before time moves on.
    bool fReturnedFromWait = false;
    // The wait it registered last, where it blocks: a run loop keeps its deadline registered while a
    // callout blocks in a wait of its own.
    WaitRegistration* fInnermostWait = nullptr;
    ThreadParty* fPrevious = nullptr;
    ThreadParty* fNext = nullptr;
};

ThreadParty& currentParty();

class ClockState
{
public:
    static ClockState& instance();

    // Readings; lock-free.
    static uint64_t hostNow()
    {
        if (gReadings.fManual.load(std::memory_order_acquire)) {
            return gReadings.fManualHost.load(std::memory_order_acquire);
        }
        return monotonicNow() + uint64_t(gReadings.fHostOffset.load(std::memory_order_relaxed));
    }
    static double absoluteNow()
    {
        if (gReadings.fManual.load(std::memory_order_acquire)) {
            uint64_t host = gReadings.fManualHost.load(std::memory_order_acquire);
            return gReadings.fManualAbsoluteBase.load(std::memory_order_relaxed) +
                   double(host - gReadings.fManualHostBase.load(std::memory_order_relaxed)) / 1e9;
        }
        return realtimeSince2001() + gReadings.fAbsoluteOffset.load(std::memory_order_relaxed);
    }
    bool isManual() const { return gReadings.fManual.load(std::memory_order_acquire); }
    std::optional<std::chrono::steady_clock::time_point> realDeadline(uint64_t deadline) const;

    void add(WaitRegistration& wait);
    void remove(WaitRegistration& wait);

    void addParty(ThreadParty& party);
    void removeParty(ThreadParty& party);
    void partyServed(ThreadParty& party);

    uint64_t beginActivity(const char* name, std::thread::id performer);
    void endActivity(uint64_t id);

    AlarmId scheduleAlarm(uint64_t deadline, std::function<void()> callback, const char* name);
    bool cancelAlarm(AlarmId id);
    // The alarm thread's loop: it runs what is due; on the manual clock advance runs the rest.
    [[noreturn]] void serveAlarms();

    // Manual time.
    void enterManual();
    void leaveManual();
    void advanceTo(uint64_t target);
    uint64_t nextDeadline();

private:
    struct Alarm
    {
        std::function<void()> fCallback;
        const char* fName;
    };
    using AlarmKey = std::pair<uint64_t, AlarmId>;

    ClockState();

    uint64_t nextDeadlineLocked() const;
    // Wakes the given waits (pinned), without the state lock held.
    void wakePinned(WaitRegistration** waits, size_t count, std::unique_lock<std::mutex>& lock);
    void wakeAll(std::unique_lock<std::mutex>& lock);
    void runDueAlarms(std::unique_lock<std::mutex>& lock);
    void waitForQuiescence(std::unique_lock<std::mutex>& lock);
    const char* unfinishedParty();
    void wakeAlarmThread();

    mutable std::mutex fLock;
    std::condition_variable fChanged;

    WaitRegistration* fWaits = nullptr;
    ThreadParty* fParties = nullptr;

    uint64_t fNextActivity = 1;
    std::map<uint64_t, std::pair<const char*, std::thread::id>> fActivities;

    AlarmId fNextAlarm = 1;
    std::map<AlarmKey, Alarm> fAlarms;
    std::map<AlarmId, uint64_t> fAlarmDeadlines;
    AlarmId fRunningAlarm = 0;
    std::thread::id fRunningAlarmThread;
    bool fAlarmThreadStarted = false;
    std::mutex fAlarmThreadLock;
    std::condition_variable fAlarmThreadWake;
    // Set under fAlarmThreadLock when the alarm thread's next deadline may have moved.
    bool fAlarmsChanged = false;
};

} // namespace DarwinClock
