#pragma once

#include "Timer.h"

#include <Darwin/Clock.h>

#include <cstdint>
#include <vector>

namespace CFPlatform {

// A 4-ary min-heap of a loop's timers by (deadline, fire date, order, creation). Entries carry the
// deadline, so the walks and most comparisons stay in the heap's own array. A removed timer leaves
// a vacant entry that keeps the heap's order (its deadline still bounds its subtree); vacant
// entries are swept out, in one linear rebuild, once they outnumber the timers. Each timer knows
// its index, so a re-armed timer moves in place without allocating.
class TimerHeap
{
public:
    struct Entry
    {
        uint64_t fDeadline;
        // Null: vacant.
        Timer* fTimer;

        bool operator<(const Entry& other) const
        {
            if (fDeadline != other.fDeadline) {
                return fDeadline < other.fDeadline;
            }
            if (!fTimer || !other.fTimer) {
                return !fTimer && other.fTimer;
            }
            return fTimer->firesBefore(*other.fTimer);
        }
    };

    void insert(Timer& timer);
    void remove(Timer& timer);
    // Restores the order after the timer's deadline changed.
    void update(Timer& timer);

    template <typename Visit>
    void forEach(Visit visit) const
    {
        for (const Entry& entry : fItems) {
            if (entry.fTimer) {
                visit(*entry.fTimer);
            }
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

    // Appends the entries of the timers `eligible` accepts whose deadline is at or before `now`.
    template <typename Eligible>
    void collectDue(uint64_t now, Eligible eligible, std::vector<Entry>& out) const
    {
        collectFrom(0, now, eligible, out);
    }

private:
    static constexpr size_t kArity = 4;
    static size_t firstChild(size_t index) { return kArity * index + 1; }
    static size_t parent(size_t index) { return (index - 1) / kArity; }

    // A subtree never holds a deadline earlier than its root, so both walks stop early.
    template <typename Eligible>
    void earliestFrom(size_t index, Eligible& eligible, uint64_t& best) const
    {
        if (index >= fItems.size() || fItems[index].fDeadline >= best) {
            return;
        }
        if (fItems[index].fTimer && eligible(*fItems[index].fTimer)) {
            best = fItems[index].fDeadline;
            return;
        }
        for (size_t child = firstChild(index); child < firstChild(index) + kArity; ++child) {
            earliestFrom(child, eligible, best);
        }
    }

    template <typename Eligible>
    void collectFrom(size_t index, uint64_t now, Eligible& eligible, std::vector<Entry>& out) const
    {
        if (index >= fItems.size() || fItems[index].fDeadline > now) {
            return;
        }
        if (fItems[index].fTimer && eligible(*fItems[index].fTimer)) {
            out.push_back(fItems[index]);
        }
        for (size_t child = firstChild(index); child < firstChild(index) + kArity; ++child) {
            collectFrom(child, now, eligible, out);
        }
    }

    void place(size_t index, Entry entry)
    {
        fItems[index] = entry;
        if (entry.fTimer) {
            entry.fTimer->fHeapIndex = index;
        }
    }

    void siftUp(size_t index);
    void siftDown(size_t index);
    void sweepVacancies();

    std::vector<Entry> fItems;
    size_t fVacant = 0;
};

} // namespace CFPlatform
