#pragma once

#include "RunLoop.h"

#include <atomic>
#include <vector>

namespace CFPlatform {

// One run of a loop, innermost first. Runs nest when a callout runs its own loop again.
// Lists a pass fills with what it serves, retained while it does. Kept by the loop per nesting
// depth, so passes reuse them.
struct RunLoop::Scratch
{
    std::vector<Source*> fSources;
    std::vector<TimerHeap::Entry> fTimers;
};

struct RunLoop::RunState
{
    RunState(RunLoopMode* mode, RunState* outer, Scratch& scratch)
        : fMode(mode), fOuter(outer), fDepth(outer ? outer->fDepth + 1 : 0), fSources(scratch.fSources),
          fTimers(scratch.fTimers)
    {}

    RunLoopMode* fMode;
    RunState* fOuter;
    const size_t fDepth;
    // The mode's common flag as the current pass began.
    bool fCommon = false;
    std::atomic<bool> fStopped{false};
    std::vector<Source*>& fSources;
    std::vector<TimerHeap::Entry>& fTimers;

    bool stopped() const { return fStopped.load(std::memory_order_acquire); }
};

} // namespace CFPlatform
