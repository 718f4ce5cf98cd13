#pragma once

#include "Timer.h"

#include <Darwin/Clock.h>

#include <cstdint>
#include <vector>

namespace CFPlatform {

// A binary min-heap of a loop's timers by (deadline, fire date, order, creation). Each timer knows its index,
// so a re-armed timer moves in place without allocating.
class TimerHeap
{
public:
    void insert(Timer& timer);
    void remove(Timer& timer);
    // Restores the order after the timer's deadline changed.
    void update(Timer& timer);

    template <typename Visit>
    void forEach(Visit visit) const
    {
        for (Timer* timer : fItems) {
            visit(*timer);
        }
    }

    // The earliest deadline among the timers `eligible` accepts, or kNever.
    template <typename Eligible>
    uint64_t earliest(Eligible eligible) const
    {
        uint64_t best = DarwinClock::kNever;
        earliestFrom(0, eligible, best);
        return best;
    }

    // Appends the timers `eligible` accepts whose deadline is at or before `now`.
    template <typename Eligible>
    void collectDue(uint64_t now, Eligible eligible, std::vector<Timer*>& out) const
    {
        collectFrom(0, now, eligible, out);
    }

private:
    // A subtree never holds a deadline earlier than its root, so both walks stop early.
    template <typename Eligible>
    void earliestFrom(size_t index, Eligible& eligible, uint64_t& best) const
    {
        if (index >= fItems.size() || fItems[index]->fDeadline >= best) {
            return;
        }
        if (eligible(*fItems[index])) {
            best = fItems[index]->fDeadline;
            return;
        }
        earliestFrom(2 * index + 1, eligible, best);
        earliestFrom(2 * index + 2, eligible, best);
    }

    template <typename Eligible>
    void collectFrom(size_t index, uint64_t now, Eligible& eligible, std::vector<Timer*>& out) const
    {
        if (index >= fItems.size() || fItems[index]->fDeadline > now) {
            return;
        }
        if (eligible(*fItems[index])) {
            out.push_back(fItems[index]);
        }
        collectFrom(2 * index + 1, now, eligible, out);
        collectFrom(2 * index + 2, now, eligible, out);
    }

    void place(size_t index, Timer* timer);
    void siftUp(size_t index);
    void siftDown(size_t index);

    std::vector<Timer*> fItems;
};

} // namespace CFPlatform
