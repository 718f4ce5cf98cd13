#pragma once

#include "Source.h"
#include "Timer.h"
#include "TimerHeap.h"
#include "WakeSignal.h"

#include <CFPlatform/Object.h>
#include <CoreFoundation/CFRunLoop.h>

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace CFPlatform {

// Whether a mode name is kCFRunLoopCommonModes, the set of every common mode.
bool isCommonModesName(CFRunLoopMode mode);

// A mode of one loop. Modes live as long as their loop, so items refer to them by address.
struct RunLoopMode
{
    RunLoopMode(CFRunLoopMode name, bool common, size_t index);
    ~RunLoopMode();
    RunLoopMode(const RunLoopMode&) = delete;
    RunLoopMode& operator=(const RunLoopMode&) = delete;

    struct Entry
    {
        Source* fSource;
        uint64_t fAddition;
    };

    bool holds(const Source& source) const;

    CFRunLoopMode fName;
    bool fCommon;
    // Its place in the loop's list of modes, which only grows.
    const size_t fIndex;
    // By order, then by when they were added.
    std::vector<Entry> fSources;
    size_t fTimerCount = 0;
};

// One thread's run loop.
class RunLoop final : public Object
{
public:
    static CFTypeID staticTypeID();
    CFTypeID typeID() const override { return staticTypeID(); }

    // The calling thread's loop, made on its first use and dropped when the thread ends.
    static RunLoop& current();
    // The loop of the process's initial thread.
    static RunLoop& main();

    RunLoop(bool isMain, std::string name);

    // From now on the loop runs nothing: blocks it holds or is given are destroyed unrun.
    void threadEnded();

    CFRunLoopRunResult run(CFRunLoopMode mode, uint64_t deadline, bool returnAfterSourceHandled,
                           bool singlePass);
    void stop();
    void wakeUp();
    bool isWaiting();
    CFRunLoopMode copyCurrentMode();
    void addCommonMode(CFRunLoopMode mode);
    void performBlock(CFTypeRef mode, std::function<void()> block);

    void addSource(Source& source, CFRunLoopMode mode);
    void removeSource(Source& source, CFRunLoopMode mode);
    bool containsSource(const Source& source, CFRunLoopMode mode);
    void addTimer(Timer& timer, CFRunLoopMode mode);
    void removeTimer(Timer& timer, CFRunLoopMode mode);
    bool containsTimer(const Timer& timer, CFRunLoopMode mode);

    // Called with the structure lock held. A null mode is the list of common-mode items.
    // `wake` is set for a sleeping run, which these changes concern: the caller declares it
    // before taking the structure lock, so that it signals once both locks are released.
    void dropSource(Source& source, RunLoopMode* mode);
    void dropTimer(Timer& timer, WakeAfterUnlock& wake);
    void rescheduleTimer(Timer& timer, CFAbsoluteTime date, uint64_t deadline, WakeAfterUnlock& wake);

    // For tests that run loops by hand: whether a run in `mode` has work without time moving, and
    // the earliest deadline of its timers there.
    bool hasReadyWork(CFRunLoopMode mode);
    uint64_t nextTimerDeadline(CFRunLoopMode mode);

private:
    struct RunState;
    struct Scratch;
    struct Block
    {
        // Null: the common modes.
        RunLoopMode* fMode;
        std::function<void()> fBlock;
    };

    ~RunLoop() override;

    RunLoopMode* findModeLocked(CFRunLoopMode name) const;
    RunLoopMode& modeLocked(CFRunLoopMode name);
    bool servesMainQueue(const RunLoopMode& mode) const;
    bool isEmptyLocked(const RunLoopMode& mode) const;
    bool hasQueuedWorkLocked(const RunLoopMode& mode) const;
    uint64_t earliestTimerLocked(const RunLoopMode& mode) const;

    // Has `wake` wake the run if it sleeps; a busy run re-examines everything before it sleeps again.
    void wakeSleeperLocked(WakeAfterUnlock& wake)
    {
        if (fWaiting && !wake.fSleeper) {
            wake.fSleeper = fSleeper;
        }
    }

    bool addSourceToModeLocked(Source& source, RunLoopMode& mode);
    bool removeSourceFromModeLocked(Source& source, RunLoopMode& mode);
    void addTimerToModeLocked(Timer& timer, RunLoopMode& mode);
    void removeTimerFromModeLocked(Timer& timer, RunLoopMode& mode);
    void detachTimerLocked(Timer& timer, WakeAfterUnlock& wake);
    void moveTimerLocked(Timer& timer, CFAbsoluteTime date, uint64_t deadline);

    // One pass; each answers false once the run has been stopped.
    bool servePass(RunState& state, bool& handled);
    bool performBlocks(RunState& state);
    bool performSources(RunState& state, Source::Kind kind, bool& handled);
    bool drainMainQueue(RunState& state, bool& handled);
    bool fireTimers(RunState& state, uint64_t passStart);
    void fireTimer(Timer& timer, RunState& state, uint64_t passStart);
    void finishTimer(Timer& timer);

    const bool fIsMain;
    const std::string fName;
    std::mutex fLock;
    // What a sleeping run waits for; shared with wakers that signal after releasing the lock.
    const std::shared_ptr<WakeSignal> fSleeper = std::make_shared<WakeSignal>();
    std::vector<std::unique_ptr<RunLoopMode>> fModes;
    std::vector<Source*> fCommonSources;
    TimerHeap fTimers;
    std::list<Block> fBlocks;
    RunState* fInnermost = nullptr;
    std::vector<std::unique_ptr<Scratch>> fScratch;
    uint64_t fNextAddition = 0;
    bool fWakePending = false;
    bool fWaiting = false;
    bool fThreadEnded = false;
};

} // namespace CFPlatform
