#include "ClockState.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>
#include <vector>

namespace DarwinClock {

constinit ClockReadings gReadings;

namespace {

// How long a manual advance waits, in real time, for a woken party before it declares a hang.
constexpr auto kServeLimit = std::chrono::seconds(60);

// The name of the alarm thread's wait, told apart by its address.
constexpr const char* kAlarmWaitName = "clock alarms";

[[noreturn]] void fail(const char* format, const char* name)
{
    std::fprintf(stderr, format, name);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    std::abort();
}

// Whether a thread is blocked in the kernel (sleeping), read from /proc.
bool threadIsBlocked(int tid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/stat", tid);
    FILE* file = std::fopen(path, "r");
    if (!file) {
        return true; // it has ended
    }
    char line[512];
    size_t length = std::fread(line, 1, sizeof line - 1, file);
    std::fclose(file);
    line[length] = 0;
    // The state follows the command name, which is in parentheses and may hold blanks.
    const char* close = std::strrchr(line, ')');
    return !close || close[1] == 0 || close[2] == 'S' || close[2] == 'D';
}

struct PartyHolder
{
    ThreadParty fParty;
    PartyHolder()
    {
        fParty.fTid = int(gettid());
        ClockState::instance().addParty(fParty);
    }
    ~PartyHolder() { ClockState::instance().removeParty(fParty); }
};

} // namespace

ThreadParty& currentParty()
{
    thread_local PartyHolder holder;
    return holder.fParty;
}

ClockState& ClockState::instance()
{
    // Never destroyed: threads may still wait on the clock while the process exits.
    static auto* state = new ClockState;
    return *state;
}

ClockState::ClockState() = default;

std::optional<std::chrono::steady_clock::time_point> ClockState::realDeadline(uint64_t deadline) const
{
    if (deadline == kNever || isManual()) {
        return std::nullopt;
    }
    // steady_clock is CLOCK_MONOTONIC; host time is that plus the offset.
    int64_t offset = gReadings.fHostOffset.load(std::memory_order_relaxed);
    uint64_t monotonic = deadline > uint64_t(offset) ? deadline - uint64_t(offset) : 0;
    if (monotonic > uint64_t(INT64_MAX)) {
        return std::nullopt;
    }
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(int64_t(monotonic)));
}

void ClockState::add(WaitRegistration& wait)
{
    std::unique_lock lock(fLock);
    wait.fLinks.fNext = fWaits;
    if (fWaits) {
        fWaits->fLinks.fPrevious = &wait;
    }
    fWaits = &wait;
    wait.fOuter = wait.fParty->fInnermostWait;
    wait.fParty->fInnermostWait = &wait;
    // A thread that blocks again has finished serving what woke it.
    wait.fParty->fReturnedFromWait = false;
    if (wait.fParty->fScopeDepth == 0) {
        wait.fParty->fName = wait.fName;
    }
    // A wait for a time that has come already is no sleep: its thread finds it due and goes on
    // serving, what the advance woke it for included.
    if (wait.fParty->fBusy.load(std::memory_order_relaxed) && wait.fDeadline > hostNow()) {
        wait.fParty->fBusy.store(false, std::memory_order_relaxed);
        // The state is never destroyed, so the advance is told after the lock is free for it.
        lock.unlock();
        fChanged.notify_all();
    }
}

void ClockState::remove(WaitRegistration& wait)
{
    std::unique_lock lock(fLock);
    fChanged.wait(lock, [&] { return wait.fPins == 0; });
    if (wait.fLinks.fPrevious) {
        wait.fLinks.fPrevious->fLinks.fNext = wait.fLinks.fNext;
    } else {
        fWaits = wait.fLinks.fNext;
    }
    if (wait.fLinks.fNext) {
        wait.fLinks.fNext->fLinks.fPrevious = wait.fLinks.fPrevious;
    }
    for (WaitRegistration** link = &wait.fParty->fInnermostWait; *link; link = &(*link)->fOuter) {
        if (*link == &wait) {
            *link = wait.fOuter;
            break;
        }
    }
    // Outside a service scope, a plain wait that the clock woke is served once it has returned
    // and its thread has blocked again (in the kernel or in another clock wait) or ended.
    if (wait.fDue && wait.fParty->fScopeDepth == 0) {
        wait.fParty->fReturnedFromWait = true;
        lock.unlock();
        fChanged.notify_all();
    }
}

void ClockState::addParty(ThreadParty& party)
{
    std::lock_guard lock(fLock);
    party.fNext = fParties;
    if (fParties) {
        fParties->fPrevious = &party;
    }
    fParties = &party;
}

void ClockState::removeParty(ThreadParty& party)
{
    std::lock_guard lock(fLock);
    if (party.fPrevious) {
        party.fPrevious->fNext = party.fNext;
    } else {
        fParties = party.fNext;
    }
    if (party.fNext) {
        party.fNext->fPrevious = party.fPrevious;
    }
    fChanged.notify_all();
}

void ClockState::partyServed(ThreadParty& party)
{
    {
        std::lock_guard lock(fLock);
        party.fBusy.store(false, std::memory_order_relaxed);
        party.fReturnedFromWait = false;
    }
    fChanged.notify_all();
}

uint64_t ClockState::beginActivity(const char* name, std::thread::id performer)
{
    std::lock_guard lock(fLock);
    uint64_t id = fNextActivity++;
    fActivities.emplace(id, std::make_pair(name, performer));
    return id;
}

void ClockState::endActivity(uint64_t id)
{
    {
        std::lock_guard lock(fLock);
        fActivities.erase(id);
    }
    fChanged.notify_all();
}

AlarmId ClockState::scheduleAlarm(uint64_t deadline, std::function<void()> callback, const char* name)
{
    bool startThread = false;
    bool wake = false;
    AlarmId id;
    {
        std::lock_guard lock(fLock);
        id = fNextAlarm++;
        fAlarms.emplace(AlarmKey{deadline, id}, Alarm{std::move(callback), name});
        fAlarmDeadlines.emplace(id, deadline);
        startThread = !fAlarmThreadStarted;
        fAlarmThreadStarted = true;
        // The alarm thread sleeps until the first alarm, and on the manual clock until one is due
        // already: only an alarm that changes that wakes it.
        wake = fAlarms.begin()->first.second == id && (!isManual() || deadline <= hostNow());
    }
    if (startThread) {
        std::thread([this] { serveAlarms(); }).detach();
    }
    if (wake) {
        wakeAlarmThread();
    }
    return id;
}

bool ClockState::cancelAlarm(AlarmId id)
{
    std::unique_lock lock(fLock);
    auto found = fAlarmDeadlines.find(id);
    if (found != fAlarmDeadlines.end()) {
        // The alarm thread sleeps until the first alarm: told that it is gone, it sleeps until the
        // next one instead of keeping a deadline that a manual clock would find still waited for.
        const bool wasFirst = fAlarms.begin()->first.second == id;
        fAlarms.erase(AlarmKey{found->second, id});
        fAlarmDeadlines.erase(found);
        lock.unlock();
        if (wasFirst) {
            wakeAlarmThread();
        }
        return true;
    }
    if (fRunningAlarm == id && fRunningAlarmThread != std::this_thread::get_id()) {
        fChanged.wait(lock, [&] { return fRunningAlarm != id; });
    }
    return false;
}

void ClockState::wakeAlarmThread()
{
    std::lock_guard lock(fAlarmThreadLock);
    fAlarmsChanged = true;
    fAlarmThreadWake.notify_all();
}

void ClockState::runDueAlarms(std::unique_lock<std::mutex>& lock)
{
    uint64_t now = hostNow();
    for (;;) {
        // One callback at a time, whether the alarm thread or a manual advance runs it.
        fChanged.wait(lock, [&] { return fRunningAlarm == 0; });
        if (fAlarms.empty() || fAlarms.begin()->first.first > now) {
            break;
        }
        auto first = fAlarms.begin();
        AlarmId id = first->first.second;
        std::function<void()> callback = std::move(first->second.fCallback);
        fAlarms.erase(first);
        fAlarmDeadlines.erase(id);
        fRunningAlarm = id;
        fRunningAlarmThread = std::this_thread::get_id();
        lock.unlock();
        callback();
        callback = nullptr;
        lock.lock();
        fRunningAlarm = 0;
        fRunningAlarmThread = {};
        fChanged.notify_all();
    }
}

void ClockState::serveAlarms()
{
    for (;;) {
        uint64_t next = kNever;
        {
            // On the manual clock only alarms already due run here (scheduled at or before
            // the time that stands); advance runs the others as it reaches them.
            std::unique_lock lock(fLock);
            runDueAlarms(lock);
            if (!isManual() && !fAlarms.empty()) {
                next = fAlarms.begin()->first.first;
            }
        }
        // Alarms run without the sleep lock, so that a callback may schedule the next alarm; what
        // was scheduled meanwhile is seen through the flag.
        std::unique_lock sleepLock(fAlarmThreadLock);
        if (!fAlarmsChanged) {
            waitUntil(sleepLock, fAlarmThreadWake, next, kAlarmWaitName);
        }
        fAlarmsChanged = false;
    }
}

uint64_t ClockState::nextDeadlineLocked() const
{
    uint64_t next = fAlarms.empty() ? kNever : fAlarms.begin()->first.first;
    for (WaitRegistration* wait = fWaits; wait; wait = wait->fLinks.fNext) {
        if (!wait->fDue && wait->fDeadline < next) {
            next = wait->fDeadline;
        }
    }
    return next;
}

uint64_t ClockState::nextDeadline()
{
    std::lock_guard lock(fLock);
    return nextDeadlineLocked();
}

void ClockState::wakePinned(WaitRegistration** waits, size_t count, std::unique_lock<std::mutex>& lock)
{
    lock.unlock();
    for (size_t i = 0; i < count; ++i) {
        waits[i]->fWake(waits[i]->fContext);
    }
    lock.lock();
    for (size_t i = 0; i < count; ++i) {
        --waits[i]->fPins;
    }
    fChanged.notify_all();
}

void ClockState::wakeAll(std::unique_lock<std::mutex>& lock)
{
    std::vector<WaitRegistration*> waits;
    for (WaitRegistration* wait = fWaits; wait; wait = wait->fLinks.fNext) {
        ++wait->fPins;
        waits.push_back(wait);
    }
    wakePinned(waits.data(), waits.size(), lock);
}

const char* ClockState::unfinishedParty()
{
    std::thread::id self = std::this_thread::get_id();
    for (ThreadParty* party = fParties; party; party = party->fNext) {
        if (party->fThread == self || !party->fBusy.load(std::memory_order_relaxed)) {
            continue;
        }
        if (party->fReturnedFromWait && threadIsBlocked(party->fTid)) {
            party->fBusy.store(false, std::memory_order_relaxed);
            party->fReturnedFromWait = false;
            continue;
        }
        // Blocked in a later wait the clock has not made due (a callout's, inside a run loop's
        // pass), it cannot serve until something else wakes it; once woken it serves again.
        const WaitRegistration* innermost = party->fInnermostWait;
        if (innermost && !innermost->fDue && innermost->fDeadline > hostNow() &&
            threadIsBlocked(party->fTid)) {
            continue;
        }
        return party->fName;
    }
    for (const auto& [id, activity] : fActivities) {
        if (activity.second != self) {
            return activity.first;
        }
    }
    return nullptr;
}

void ClockState::waitForQuiescence(std::unique_lock<std::mutex>& lock)
{
    // Threads that returned from a plain wait are watched until they block, hence the short period.
    auto limit = std::chrono::steady_clock::now() + kServeLimit;
    while (unfinishedParty() != nullptr && std::chrono::steady_clock::now() < limit) {
        fChanged.wait_for(lock, std::chrono::microseconds(200));
    }
    if (unfinishedParty() != nullptr) {
        fail("ManualClock::advance: '%s' did not finish serving what the clock woke; it waits for "
             "something the advancing thread holds",
             unfinishedParty());
    }
}

void ClockState::enterManual()
{
    std::unique_lock lock(fLock);
    if (isManual()) {
        fail("%s: the clock is manual already", "ManualClock");
    }
    uint64_t host = hostNow();
    gReadings.fManualHostBase.store(host, std::memory_order_relaxed);
    gReadings.fManualAbsoluteBase.store(absoluteNow(), std::memory_order_relaxed);
    gReadings.fManualHost.store(host, std::memory_order_relaxed);
    gReadings.fManual.store(true, std::memory_order_release);
    // Waits on the real clock now wait without a real deadline.
    wakeAll(lock);
}

void ClockState::leaveManual()
{
    std::unique_lock lock(fLock);
    for (WaitRegistration* wait = fWaits; wait; wait = wait->fLinks.fNext) {
        // The alarm thread may still sleep toward an alarm cancelled a moment ago; what counts of
        // it is the pending alarms, checked below.
        if (wait->fDeadline != kNever && wait->fName != kAlarmWaitName) {
            fail("ManualClock: leaving manual time while '%s' waits for a deadline; stop it first",
                 wait->fName);
        }
    }
    // Alarms are ordered by deadline: only the first can be finite. One at "never" is not pending.
    if (!fAlarms.empty() && fAlarms.begin()->first.first != kNever) {
        fail("ManualClock: leaving manual time while the alarm '%s' is pending; cancel it first",
             fAlarms.begin()->second.fName);
    }
    uint64_t host = gReadings.fManualHost.load(std::memory_order_relaxed);
    double absolute = absoluteNow();
    // Real readings continue from where manual time stands, so no reading goes backwards.
    uint64_t monotonic = monotonicNow();
    int64_t offset = int64_t(host - monotonic);
    if (offset > gReadings.fHostOffset.load(std::memory_order_relaxed)) {
        gReadings.fHostOffset.store(offset, std::memory_order_relaxed);
    }
    double absoluteOffset = absolute - realtimeSince2001();
    if (absoluteOffset > gReadings.fAbsoluteOffset.load(std::memory_order_relaxed)) {
        gReadings.fAbsoluteOffset.store(absoluteOffset, std::memory_order_relaxed);
    }
    gReadings.fManual.store(false, std::memory_order_release);
    wakeAll(lock);
    lock.unlock();
    wakeAlarmThread();
}

void ClockState::advanceTo(uint64_t target)
{
    std::unique_lock lock(fLock);
    if (!isManual()) {
        fail("%s: the clock is not manual", "ManualClock::advance");
    }
    std::vector<WaitRegistration*> due;
    for (;;) {
        uint64_t next = nextDeadlineLocked();
        if (next > target) {
            break;
        }
        if (next > gReadings.fManualHost.load(std::memory_order_relaxed)) {
            gReadings.fManualHost.store(next, std::memory_order_release);
        }
        uint64_t now = gReadings.fManualHost.load(std::memory_order_relaxed);
        due.clear();
        for (WaitRegistration* wait = fWaits; wait; wait = wait->fLinks.fNext) {
            if (!wait->fDue && wait->fDeadline <= now) {
                wait->fDue = true;
                ++wait->fPins;
                wait->fParty->fBusy.store(true, std::memory_order_relaxed);
                due.push_back(wait);
            }
        }
        wakePinned(due.data(), due.size(), lock);
        runDueAlarms(lock);
        waitForQuiescence(lock);
    }
    if (target > gReadings.fManualHost.load(std::memory_order_relaxed)) {
        gReadings.fManualHost.store(target, std::memory_order_release);
    }
}

} // namespace DarwinClock
