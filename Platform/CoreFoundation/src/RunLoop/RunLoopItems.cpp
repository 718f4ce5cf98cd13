#include "RunLoop.h"

#include "StructureLock.h"

#include <CoreFoundation/CFString.h>

#include <algorithm>

// Which sources and timers a loop holds in which modes. Items added to the common modes are kept
// in every common mode and in the loop's common list, so a mode made common later gets them too.

namespace CFPlatform {

bool RunLoop::addSourceToModeLocked(Source& source, RunLoopMode& mode)
{
    if (source.isMember(this, &mode)) {
        return false;
    }
    auto position = std::upper_bound(
        mode.fSources.begin(), mode.fSources.end(), source.order(),
        [](CFIndex order, const RunLoopMode::Entry& entry) { return order < entry.fSource->order(); });
    mode.fSources.insert(position, RunLoopMode::Entry{&source, fNextAddition++});
    source.fMemberships.push_back(Source::Membership{this, &mode});
    source.retain();
    return true;
}

bool RunLoop::removeSourceFromModeLocked(Source& source, RunLoopMode& mode)
{
    auto found = std::find_if(mode.fSources.begin(), mode.fSources.end(),
                              [&](const RunLoopMode::Entry& entry) { return entry.fSource == &source; });
    if (found == mode.fSources.end()) {
        return false;
    }
    mode.fSources.erase(found);
    source.forget(this, &mode);
    return true;
}

void RunLoop::addSource(Source& source, CFRunLoopMode name)
{
    std::vector<RunLoopMode*> added;
    {
        std::lock_guard structure(runLoopStructureLock());
        std::lock_guard lock(fLock);
        if (!source.isValid()) {
            return;
        }
        if (isCommonModesName(name)) {
            if (source.isMember(this, nullptr)) {
                return;
            }
            fCommonSources.push_back(&source);
            source.fMemberships.push_back(Source::Membership{this, nullptr});
            source.retain();
            for (auto& mode : fModes) {
                if (mode->fCommon && addSourceToModeLocked(source, *mode)) {
                    added.push_back(mode.get());
                }
            }
        } else if (RunLoopMode& mode = modeLocked(name); addSourceToModeLocked(source, mode)) {
            added.push_back(&mode);
        }
    }
    for (RunLoopMode* mode : added) {
        source.schedule(*this, mode->fName);
    }
}

void RunLoop::removeSource(Source& source, CFRunLoopMode name)
{
    std::vector<RunLoopMode*> removed;
    bool leftCommonList = false;
    {
        std::lock_guard structure(runLoopStructureLock());
        std::lock_guard lock(fLock);
        if (isCommonModesName(name)) {
            auto found = std::find(fCommonSources.begin(), fCommonSources.end(), &source);
            if (found == fCommonSources.end()) {
                return;
            }
            fCommonSources.erase(found);
            source.forget(this, nullptr);
            leftCommonList = true;
            for (auto& mode : fModes) {
                if (mode->fCommon && removeSourceFromModeLocked(source, *mode)) {
                    removed.push_back(mode.get());
                }
            }
        } else if (RunLoopMode* mode = findModeLocked(name);
                   mode && removeSourceFromModeLocked(source, *mode)) {
            removed.push_back(mode);
        }
    }
    // On the removing thread, before returning: a caller may wait for exactly this.
    for (RunLoopMode* mode : removed) {
        source.cancel(*this, mode->fName);
        source.release();
    }
    if (leftCommonList) {
        source.release();
    }
}

bool RunLoop::containsSource(const Source& source, CFRunLoopMode name)
{
    std::lock_guard lock(fLock);
    if (isCommonModesName(name)) {
        return std::find(fCommonSources.begin(), fCommonSources.end(), &source) != fCommonSources.end();
    }
    RunLoopMode* mode = findModeLocked(name);
    return mode && mode->holds(source);
}

void RunLoop::dropSource(Source& source, RunLoopMode* mode)
{
    std::lock_guard lock(fLock);
    if (!mode) {
        fCommonSources.erase(std::remove(fCommonSources.begin(), fCommonSources.end(), &source),
                             fCommonSources.end());
        return;
    }
    mode->fSources.erase(
        std::remove_if(mode->fSources.begin(), mode->fSources.end(),
                       [&](const RunLoopMode::Entry& entry) { return entry.fSource == &source; }),
        mode->fSources.end());
}

void RunLoop::addTimerToModeLocked(Timer& timer, RunLoopMode& mode)
{
    if (timer.fModes.insert(mode.fIndex)) {
        ++mode.fTimerCount;
    }
}

void RunLoop::removeTimerFromModeLocked(Timer& timer, RunLoopMode& mode)
{
    if (timer.fModes.erase(mode.fIndex)) {
        --mode.fTimerCount;
    }
}

void RunLoop::detachTimerLocked(Timer& timer, WakeAfterUnlock& wake)
{
    timer.fModes.forEach([&](size_t index) { --fModes[index]->fTimerCount; });
    timer.fModes.clear();
    timer.fInCommonModes = false;
    fTimers.remove(timer);
    timer.fLoop = nullptr;
    // A sleeping run recomputes its deadline.
    wakeSleeperLocked(wake);
}

void RunLoop::moveTimerLocked(Timer& timer, CFAbsoluteTime date, uint64_t deadline)
{
    timer.fFireDate = date;
    timer.fDeadline = deadline;
    fTimers.update(timer);
}

void RunLoop::addTimer(Timer& timer, CFRunLoopMode name)
{
    WakeAfterUnlock wake;
    std::lock_guard structure(runLoopStructureLock());
    std::lock_guard lock(fLock);
    // A timer belongs to one loop only.
    if (!timer.isValid() || (timer.fLoop && timer.fLoop != this)) {
        return;
    }
    if (isCommonModesName(name)) {
        timer.fInCommonModes = true;
        for (auto& mode : fModes) {
            if (mode->fCommon) {
                addTimerToModeLocked(timer, *mode);
            }
        }
    } else {
        addTimerToModeLocked(timer, modeLocked(name));
    }
    if (!timer.fLoop) {
        timer.fLoop = this;
        timer.retain();
        fTimers.insert(timer);
    }
    wakeSleeperLocked(wake);
}

void RunLoop::removeTimer(Timer& timer, CFRunLoopMode name)
{
    WakeAfterUnlock wake;
    {
        std::lock_guard structure(runLoopStructureLock());
        std::lock_guard lock(fLock);
        if (timer.fLoop != this) {
            return;
        }
        if (isCommonModesName(name)) {
            timer.fInCommonModes = false;
            for (auto& mode : fModes) {
                if (mode->fCommon) {
                    removeTimerFromModeLocked(timer, *mode);
                }
            }
        } else if (RunLoopMode* mode = findModeLocked(name)) {
            removeTimerFromModeLocked(timer, *mode);
        }
        if (!timer.fModes.empty() || timer.fInCommonModes) {
            return;
        }
        detachTimerLocked(timer, wake);
    }
    timer.release();
}

bool RunLoop::containsTimer(const Timer& timer, CFRunLoopMode name)
{
    std::lock_guard lock(fLock);
    if (timer.fLoop != this) {
        return false;
    }
    if (isCommonModesName(name)) {
        return timer.fInCommonModes;
    }
    RunLoopMode* mode = findModeLocked(name);
    return mode && timer.isInMode(mode->fIndex);
}

void RunLoop::dropTimer(Timer& timer, WakeAfterUnlock& wake)
{
    std::lock_guard lock(fLock);
    detachTimerLocked(timer, wake);
}

void RunLoop::rescheduleTimer(Timer& timer, CFAbsoluteTime date, uint64_t deadline, WakeAfterUnlock& wake)
{
    std::lock_guard lock(fLock);
    timer.fRearmed = timer.fFiring;
    moveTimerLocked(timer, date, deadline);
    // Another thread's new date applies at once: a sleeping run wakes and recomputes its deadline.
    wakeSleeperLocked(wake);
}

void RunLoop::addCommonMode(CFRunLoopMode name)
{
    std::vector<Source*> added;
    RunLoopMode* mode;
    {
        std::lock_guard structure(runLoopStructureLock());
        std::lock_guard lock(fLock);
        if (isCommonModesName(name)) {
            return;
        }
        mode = &modeLocked(name);
        if (mode->fCommon) {
            return;
        }
        mode->fCommon = true;
        for (Source* source : fCommonSources) {
            if (addSourceToModeLocked(*source, *mode)) {
                source->retain();
                added.push_back(source);
            }
        }
        fTimers.forEach([&](Timer& timer) {
            if (timer.fInCommonModes) {
                addTimerToModeLocked(timer, *mode);
            }
        });
    }
    for (Source* source : added) {
        source->schedule(*this, mode->fName);
        source->release();
    }
}

} // namespace CFPlatform
