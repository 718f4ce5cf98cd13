#pragma once

// The process-wide clock behind every time interface of the Platform layers: mach_absolute_time,
// CFAbsoluteTimeGetCurrent, run-loop timers, dispatch_after, Mach semaphore and message time-outs,
// mach_wait_until and the later layers' timer sources.
//
// By default it is the real clock (CLOCK_MONOTONIC for host time, CLOCK_REALTIME for absolute time).
// A test may switch the process to manual time (DarwinTesting::ManualClock); then time stands still
// until the test advances it, and every registered wait and alarm whose deadline is passed is served
// in deadline order. Every timed wait of the Platform layers therefore goes through this header.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace DarwinClock {

struct ThreadParty;
class ClockState;

// A deadline that never comes. Deadline arithmetic saturates here instead of overflowing.
constexpr uint64_t kNever = UINT64_MAX;

// Host time in nanoseconds (the timebase is 1/1). Never decreases, across switches of mode too.
uint64_t hostNow();

// Seconds since 2001-01-01 00:00 UTC. Moves together with host time on the manual clock.
double absoluteNow();

bool isManual();

// host + delta, saturating at kNever.
uint64_t addSaturating(uint64_t host, uint64_t delta);

// The host-time deadline of an absolute-time date: now + (date - absoluteNow()), rounded to the
// nearest microsecond. Dates beyond what host time can hold (including infinities) give kNever;
// past dates give a deadline in the past. NaN gives kNever.
uint64_t deadlineForDate(double date);

// The host-time deadline `seconds` from now, with the same rounding and saturation.
uint64_t deadlineAfterSeconds(double seconds);

// Registers a thread that is about to block until `deadline`, so the manual clock can wake it.
//
// The caller registers, then blocks in a way that `wake(context)` interrupts, and must make sure a
// wake between the two is not lost (for example by holding the mutex that `wake` takes until the
// blocking call releases it). `wake` may be called several times and from any thread; it must not
// block for long. The destructor unregisters and waits for a wake in progress, so it must not run
// while the caller holds what `wake` takes.
//
// While the clock is real, the caller blocks until `realDeadline()`; while it is manual,
// `realDeadline()` is empty and the caller blocks until woken. A switch of mode wakes every
// registered waiter so that it re-reads `realDeadline()`.
class WaitRegistration
{
public:
    WaitRegistration(uint64_t deadline, const char* name, void (*wake)(void*), void* context);
    ~WaitRegistration();
    WaitRegistration(const WaitRegistration&) = delete;
    WaitRegistration& operator=(const WaitRegistration&) = delete;

    std::optional<std::chrono::steady_clock::time_point> realDeadline() const;

    // Kept in the clock's list of waits while registered.
    struct Links
    {
        WaitRegistration* fPrevious = nullptr;
        WaitRegistration* fNext = nullptr;
    };

private:
    friend class ClockState;

    uint64_t fDeadline;
    const char* fName;
    void (*fWake)(void*);
    void* fContext;
    ThreadParty* fParty;
    // The wait its thread registered before this one and is still inside.
    WaitRegistration* fOuter = nullptr;
    Links fLinks;
    int fPins = 0;
    bool fDue = false;
};

// Blocks on `cv` with `lock` held until notified, woken spuriously, or host time reaches `deadline`
// (kNever: no time limit). Returns true once host time has reached the deadline. Callers loop on
// their own predicate, as with std::condition_variable. The lock is released while blocked.
bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, uint64_t deadline,
               const char* name);

// Marks the calling thread as serving what the clock has woken (a run loop's pass, a queue's
// blocks, an alarm's callback). A manual-clock advance that woke this thread waits for it until it
// blocks again in a registered wait or the outermost scope ends. Outside any scope, a thread woken
// by the clock counts as served as soon as its wait returns. Scopes nest.
class ServiceScope
{
public:
    explicit ServiceScope(const char* name);
    ~ServiceScope();
    ServiceScope(const ServiceScope&) = delete;
    ServiceScope& operator=(const ServiceScope&) = delete;
};

// Work the clock has handed on (a dispatch_after block now queued, a message now posted): a
// manual-clock advance that is in progress or starts later waits until every activity has ended,
// except those whose performer is the advancing thread itself (its own loop cannot run meanwhile).
class Activity
{
public:
    Activity() = default;
    Activity(const char* name, std::thread::id performer = {});
    Activity(Activity&& other) noexcept;
    Activity& operator=(Activity&& other) noexcept;
    ~Activity();

    void end();
    explicit operator bool() const { return fId != 0; }

private:
    uint64_t fId = 0;
};

// A callback at a deadline. Callbacks run on the clock's alarm thread, one at a time and in
// deadline order (ties in scheduling order), with no lock of the clock held; they must not block.
using AlarmId = uint64_t;

AlarmId scheduleAlarm(uint64_t deadline, std::function<void()> callback, const char* name);

// Cancels an alarm. Returns true when its callback had not started and now never will. If the
// callback is running on another thread, waits until it has returned; from inside the callback
// itself it returns at once.
bool cancelAlarm(AlarmId id);

} // namespace DarwinClock
