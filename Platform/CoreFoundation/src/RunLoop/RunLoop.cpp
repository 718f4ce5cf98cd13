#include "RunLoop.h"

#include "MainQueue.h"
#include "RunState.h"
#include "StructureLock.h"

#include <CoreFoundation/CFString.h>
#include <Darwin/Clock.h>

#include <algorithm>

namespace CFPlatform {

bool isCommonModesName(CFRunLoopMode mode)
{
    // The constants are uniqued, so the usual names are told apart without comparing text.
    return mode == kCFRunLoopCommonModes ||
           (mode != kCFRunLoopDefaultMode && CFEqual(mode, kCFRunLoopCommonModes));
}

RunLoopMode::RunLoopMode(CFRunLoopMode name, bool common, size_t index)
    : fName(CFStringCreateCopy(kCFAllocatorDefault, name)), fCommon(common), fIndex(index)
{}

RunLoopMode::~RunLoopMode()
{
    CFRelease(fName);
}

bool RunLoopMode::holds(const Source& source) const
{
    return std::any_of(fSources.begin(), fSources.end(),
                       [&](const Entry& entry) { return entry.fSource == &source; });
}

CFTypeID RunLoop::staticTypeID()
{
    static const CFTypeID type = registerType("CFRunLoop");
    return type;
}

RunLoop::RunLoop(bool isMain, std::string name) : fIsMain(isMain), fName(std::move(name))
{
    fModes.push_back(std::make_unique<RunLoopMode>(kCFRunLoopDefaultMode, true, 0));
}

RunLoop::~RunLoop()
{
    // The last reference removes what is left: sources are cancelled, timers invalidated.
    std::vector<std::pair<Source*, RunLoopMode*>> sources;
    std::vector<Timer*> timers;
    std::list<Block> blocks;
    {
        std::lock_guard structure(runLoopStructureLock());
        std::lock_guard lock(fLock);
        for (auto& mode : fModes) {
            for (const RunLoopMode::Entry& entry : mode->fSources) {
                entry.fSource->forget(this, mode.get());
                sources.emplace_back(entry.fSource, mode.get());
            }
        }
        for (Source* source : fCommonSources) {
            source->forget(this, nullptr);
            sources.emplace_back(source, nullptr);
        }
        fTimers.forEach([&](Timer& timer) {
            timer.fLoop = nullptr;
            timer.fModes.clear();
            timer.fInCommonModes = false;
            timer.fValid.store(false, std::memory_order_release);
            timers.push_back(&timer);
        });
        blocks.swap(fBlocks);
    }
    for (auto [source, mode] : sources) {
        if (mode) {
            source->cancel(*this, mode->fName);
        }
        source->release();
    }
    for (Timer* timer : timers) {
        timer->release();
    }
}

void RunLoop::threadEnded()
{
    // Destroyed after the lock is released: a block's captures may call into this loop.
    std::list<Block> unrun;
    std::lock_guard lock(fLock);
    fThreadEnded = true;
    unrun.swap(fBlocks);
}

// The callers of these two need not hold a reference: the loop may end as soon as its lock is
// released, and only the wake signal is touched after that.
void RunLoop::stop()
{
    WakeAfterUnlock wake;
    std::lock_guard lock(fLock);
    // A stop belongs to the run in progress; with none, it is lost.
    if (fThreadEnded || !fInnermost) {
        return;
    }
    fInnermost->fStopped.store(true, std::memory_order_release);
    wakeSleeperLocked(wake);
}

void RunLoop::wakeUp()
{
    WakeAfterUnlock wake;
    std::lock_guard lock(fLock);
    if (fThreadEnded) {
        return;
    }
    fWakePending = true;
    wakeSleeperLocked(wake);
}

bool RunLoop::isWaiting()
{
    std::lock_guard lock(fLock);
    return fWaiting;
}

CFRunLoopMode RunLoop::copyCurrentMode()
{
    std::lock_guard lock(fLock);
    return fInnermost ? static_cast<CFRunLoopMode>(CFRetain(fInnermost->fMode->fName)) : nullptr;
}

void RunLoop::performBlock(CFTypeRef mode, std::function<void()> block)
{
    std::list<Block> queued;
    if (!block || !mode || CFGetTypeID(mode) != CFStringGetTypeID()) {
        return;
    }
    queued.push_back(Block{nullptr, std::move(block)});
    auto name = static_cast<CFRunLoopMode>(mode);
    std::lock_guard lock(fLock);
    if (fThreadEnded) {
        // `queued` still holds the block: it is destroyed unrun when this returns.
        return;
    }
    queued.front().fMode = isCommonModesName(name) ? nullptr : &modeLocked(name);
    fBlocks.splice(fBlocks.end(), queued);
}

RunLoopMode* RunLoop::findModeLocked(CFRunLoopMode name) const
{
    auto found = std::find_if(fModes.begin(), fModes.end(),
                              [&](const auto& mode) { return CFEqual(mode->fName, name); });
    return found == fModes.end() ? nullptr : found->get();
}

RunLoopMode& RunLoop::modeLocked(CFRunLoopMode name)
{
    if (RunLoopMode* mode = findModeLocked(name)) {
        return *mode;
    }
    fModes.push_back(std::make_unique<RunLoopMode>(name, false, fModes.size()));
    return *fModes.back();
}

bool RunLoop::servesMainQueue(const RunLoopMode& mode) const
{
    return fIsMain && mode.fCommon && installedMainQueueHooks();
}

bool RunLoop::isEmptyLocked(const RunLoopMode& mode) const
{
    return mode.fSources.empty() && mode.fTimerCount == 0 && !servesMainQueue(mode);
}

bool RunLoop::hasQueuedWorkLocked(const RunLoopMode& mode) const
{
    bool blocks = std::any_of(fBlocks.begin(), fBlocks.end(), [&](const Block& block) {
        return block.fMode == &mode || (!block.fMode && mode.fCommon);
    });
    return blocks || std::any_of(mode.fSources.begin(), mode.fSources.end(),
                                 [](const RunLoopMode::Entry& e) { return e.fSource->isSignalled(); });
}

uint64_t RunLoop::earliestTimerLocked(const RunLoopMode& mode) const
{
    return fTimers.earliest(
        [&](const Timer& timer) { return !timer.fFiring && timer.isInMode(mode.fIndex); });
}

bool RunLoop::hasReadyWork(CFRunLoopMode name)
{
    uint64_t now = DarwinClock::hostNow();
    {
        std::lock_guard lock(fLock);
        RunLoopMode* mode = findModeLocked(name);
        if (!mode || isEmptyLocked(*mode)) {
            return false;
        }
        if (hasQueuedWorkLocked(*mode) || earliestTimerLocked(*mode) <= now) {
            return true;
        }
        if (!servesMainQueue(*mode)) {
            return false;
        }
    }
    // Asked without this loop's lock: the main queue takes its own lock.
    return installedMainQueueHooks()->hasWork();
}

uint64_t RunLoop::nextTimerDeadline(CFRunLoopMode name)
{
    std::lock_guard lock(fLock);
    RunLoopMode* mode = findModeLocked(name);
    return mode ? earliestTimerLocked(*mode) : DarwinClock::kNever;
}

} // namespace CFPlatform
