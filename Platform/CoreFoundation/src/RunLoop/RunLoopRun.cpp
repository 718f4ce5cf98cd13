#include "RunLoop.h"

#include "MainQueue.h"
#include "RunState.h"
#include "StructureLock.h"

#include <Darwin/Clock.h>

#include <algorithm>
#include <optional>

// Running a loop: passes over the mode's work, and sleeps on the process clock between them.

namespace CFPlatform {

namespace {

// Releases what a pass retained, on every way out of it.
template <typename T>
struct ReleaseBatch
{
    std::vector<T>& fBatch;

    ~ReleaseBatch()
    {
        for (const T& item : fBatch) {
            objectOf(item).release();
        }
        fBatch.clear();
    }

    static const Object& objectOf(const Source* source) { return *source; }
    static const Object& objectOf(const TimerHeap::Entry& entry) { return *entry.fTimer; }
};

} // namespace

CFRunLoopRunResult RunLoop::run(CFRunLoopMode name, uint64_t deadline, bool returnAfterSourceHandled,
                                bool singlePass)
{
    // A manual clock's advance that woke this loop waits until it sleeps again or this run ends.
    DarwinClock::ServiceScope scope(fName.c_str());
    std::unique_lock lock(fLock);
    RunLoopMode* mode = findModeLocked(name);
    if (!mode || isEmptyLocked(*mode)) {
        return kCFRunLoopRunFinished;
    }
    size_t depth = fInnermost ? fInnermost->fDepth + 1 : 0;
    if (fScratch.size() <= depth) {
        fScratch.push_back(std::make_unique<Scratch>());
    }
    RunState state(mode, fInnermost, *fScratch[depth]);
    fInnermost = &state;
    // Leaves the loop in order on every way out, an exception from a callout included.
    struct Leave
    {
        RunLoop& fLoop;
        RunState& fState;
        std::unique_lock<std::mutex>& fLock;

        ~Leave()
        {
            if (!fLock.owns_lock()) {
                fLock.lock();
            }
            fLoop.fInnermost = fState.fOuter;
            fLoop.fWaiting = false;
        }
    } leave{*this, state, lock};

    // The run's next deadline stays registered with the clock while the loop is busy too, so a
    // manual advance stops there and waits for the pass that serves it. Its wake is the sleeper's,
    // so on the real clock a sleep registers nothing new unless the deadline moved. On the manual
    // clock a run registers again before each sleep, even without a deadline: that tells an
    // advance that this thread has served what woke it. A new registration is made before the old
    // one goes, so an advance never finds the deadline missing.
    std::optional<DarwinClock::WaitRegistration> registrations[2];
    size_t live = 0;
    uint64_t registered = DarwinClock::kNever;
    auto showDeadline = [&](bool again) {
        uint64_t next = std::min(deadline, earliestTimerLocked(*mode));
        if (next != registered || again) {
            size_t other = 1 - live;
            if (next != DarwinClock::kNever || again) {
                registrations[other].emplace(next, fName.c_str(), &WakeSignal::wake, fSleeper.get());
            }
            registrations[live].reset();
            live = other;
            registered = next;
        }
        return next;
    };
    if (!singlePass) {
        showDeadline(false);
    }

    for (;;) {
        if (state.stopped()) {
            return kCFRunLoopRunStopped;
        }
        fWakePending = false;
        state.fCommon = mode->fCommon;
        lock.unlock();
        bool handled = false;
        bool running = servePass(state, handled);
        lock.lock();
        if (handled && returnAfterSourceHandled) {
            return kCFRunLoopRunHandledSource;
        }
        if (!running || state.stopped()) {
            return kCFRunLoopRunStopped;
        }
        if (singlePass || DarwinClock::hostNow() >= deadline) {
            return kCFRunLoopRunTimedOut;
        }
        if (isEmptyLocked(*mode)) {
            return kCFRunLoopRunFinished;
        }
        // A wake-up, work or a timer that came due during the pass means no sleep.
        uint64_t next = showDeadline(false);
        if (fWakePending || hasQueuedWorkLocked(*mode) || next <= DarwinClock::hostNow()) {
            continue;
        }
        if (DarwinClock::isManual()) {
            showDeadline(true);
        }
        std::optional<std::chrono::steady_clock::time_point> realDeadline;
        if (registrations[live]) {
            realDeadline = registrations[live]->realDeadline();
        }
        fWaiting = true;
        lock.unlock();
        // A clock's wake or a waker's signal between here and the wait is kept by the token.
        fSleeper->wait(realDeadline);
        lock.lock();
        fWaiting = false;
    }
}

bool RunLoop::servePass(RunState& state, bool& handled)
{
    uint64_t passStart = DarwinClock::hostNow();
    return performBlocks(state) && performSources(state, Source::Kind::Version0, handled) &&
           performSources(state, Source::Kind::Port, handled) && drainMainQueue(state, handled) &&
           fireTimers(state, passStart);
}

bool RunLoop::performBlocks(RunState& state)
{
    std::list<Block> ready;
    {
        std::lock_guard lock(fLock);
        for (auto block = fBlocks.begin(); block != fBlocks.end();) {
            auto next = std::next(block);
            if (block->fMode == state.fMode || (!block->fMode && state.fCommon)) {
                ready.splice(ready.end(), fBlocks, block);
            }
            block = next;
        }
    }
    // Blocks that a stop or an exception left unrun go back to the front, in their order.
    struct Requeue
    {
        RunLoop& fLoop;
        std::list<Block>& fReady;

        ~Requeue()
        {
            if (!fReady.empty()) {
                std::lock_guard lock(fLoop.fLock);
                fLoop.fBlocks.splice(fLoop.fBlocks.begin(), fReady);
            }
        }
    } requeue{*this, ready};

    while (!ready.empty()) {
        std::function<void()> block = std::move(ready.front().fBlock);
        ready.pop_front();
        block();
        if (state.stopped()) {
            return false;
        }
    }
    return true;
}

bool RunLoop::performSources(RunState& state, Source::Kind kind, bool& handled)
{
    std::vector<Source*>& batch = state.fSources;
    {
        std::lock_guard lock(fLock);
        for (const RunLoopMode::Entry& entry : state.fMode->fSources) {
            if (entry.fSource->kind() == kind && entry.fSource->isSignalled()) {
                entry.fSource->retain();
                batch.push_back(entry.fSource);
            }
        }
    }
    ReleaseBatch<Source*> releaseBatch{batch};
    for (Source* source : batch) {
        bool member;
        {
            std::lock_guard lock(fLock);
            member = state.fMode->holds(*source);
        }
        // Several signals before the pass give one perform.
        if (member && source->takeSignal() && source->serve()) {
            handled = true;
        }
        if (state.stopped()) {
            return false;
        }
    }
    return true;
}

bool RunLoop::drainMainQueue(RunState& state, bool& handled)
{
    if (!fIsMain || !state.fCommon) {
        return true;
    }
    const MainQueueHooks* hooks = installedMainQueueHooks();
    if (hooks && hooks->drain()) {
        handled = true;
    }
    return !state.stopped();
}

bool RunLoop::fireTimers(RunState& state, uint64_t passStart)
{
    std::vector<TimerHeap::Entry>& batch = state.fTimers;
    {
        std::lock_guard lock(fLock);
        fTimers.collectDue(
            passStart,
            [&](const Timer& timer) { return !timer.fFiring && timer.isInMode(state.fMode->fIndex); }, batch);
        std::sort(batch.begin(), batch.end());
        for (const TimerHeap::Entry& entry : batch) {
            entry.fTimer->retain();
        }
    }
    ReleaseBatch<TimerHeap::Entry> releaseBatch{batch};
    for (const TimerHeap::Entry& entry : batch) {
        fireTimer(*entry.fTimer, state, passStart);
        if (state.stopped()) {
            return false;
        }
    }
    return true;
}

void RunLoop::fireTimer(Timer& timer, RunState& state, uint64_t passStart)
{
    {
        std::lock_guard lock(fLock);
        // Removed, invalidated or re-armed by an earlier callout of this pass: not due any more.
        if (!timer.isValid() || timer.fLoop != this || timer.fFiring ||
            !timer.isInMode(state.fMode->fIndex) || timer.fDeadline > passStart) {
            return;
        }
        timer.fFiring = true;
        timer.fRearmed = false;
    }
    // The timer counts as fired even when its callout throws.
    struct Finish
    {
        RunLoop& fLoop;
        Timer& fTimer;

        ~Finish() { fLoop.finishTimer(fTimer); }
    } finish{*this, timer};
    timer.fire();
}

void RunLoop::finishTimer(Timer& timer)
{
    CFAbsoluteTime now = timer.repeats() ? DarwinClock::absoluteNow() : 0;
    bool invalidated = false;
    {
        // Run on the loop's own thread, so no run of it sleeps: nothing to wake.
        WakeAfterUnlock wake;
        std::lock_guard structure(runLoopStructureLock());
        std::lock_guard lock(fLock);
        timer.fFiring = false;
        if (!timer.isValid() || timer.fLoop != this) {
            return;
        }
        if (!timer.repeats()) {
            timer.fValid.store(false, std::memory_order_release);
            detachTimerLocked(timer, wake);
            invalidated = true;
        } else if (!timer.fRearmed) {
            // A date set during the callout is kept; otherwise the next one on the timer's phase.
            CFAbsoluteTime next = timer.nextPhaseDate(now);
            moveTimerLocked(timer, next, DarwinClock::deadlineForDate(next));
        }
    }
    if (invalidated) {
        timer.release();
    }
}

} // namespace CFPlatform
