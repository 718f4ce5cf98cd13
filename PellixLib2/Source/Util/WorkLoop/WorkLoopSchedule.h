#pragma once

// The items of a work loop in the order they are due: by fire time and, of equal times, the one
// listed or re-armed later first. A pass runs what was due and listed when it began, each item at
// most once: an item that is due again at once waits for the next pass.

#include "WorkLoop.h"

#include <cstdint>
#include <set>
#include <unordered_map>

WORKLOOP_NAMESPACE_BEGIN

class WORKLOOP_INTERNAL WorkLoopSchedule
{
public:
    struct Pass
    {
        double fNow = 0;
        // Items listed from this sequence number on were listed during the pass.
        uint64_t fFirstLaterSequence = 0;
    };

    bool Contains(const WorkLoopItem* item) const { return fListed.contains(item); }
    bool Empty() const { return fListed.empty(); }
    // Lists the item, or moves it when listed, to run at `fireTime`, which it also stores.
    void Place(WorkLoopItem* item, double fireTime);
    void Remove(const WorkLoopItem* item);
    // Of a list that is not empty.
    double EarliestFireTime() const { return fOrder.begin()->fFireTime; }

    Pass BeginPass(double now) const { return Pass{now, fNextSequence}; }
    // The first item due in the pass, or null.
    WorkLoopItem* NextDue(const Pass& pass) const;

    // Takes off the list every item that `take` accepts; `take` may keep or free nothing else.
    template <typename Take>
    void RemoveWhere(Take take)
    {
        for (auto listed = fListed.begin(); listed != fListed.end();) {
            if (take(listed->second->fItem)) {
                Erase(listed->second);
                listed = fListed.erase(listed);
            } else {
                ++listed;
            }
        }
    }

private:
    struct Entry
    {
        double fFireTime;
        uint64_t fSequence;
        WorkLoopItem* fItem;
    };
    struct DueFirst
    {
        bool operator()(const Entry& a, const Entry& b) const
        {
            if (a.fFireTime != b.fFireTime) {
                return a.fFireTime < b.fFireTime;
            }
            return a.fSequence > b.fSequence;
        }
    };
    using Order = std::set<Entry, DueFirst>;

    void Erase(Order::iterator position);

    Order fOrder;
    std::unordered_map<const WorkLoopItem*, Order::iterator> fListed;
    uint64_t fNextSequence = 0;
    // Where the last item was placed: items re-armed in a row usually go next to each other, and a
    // right hint makes the insertion constant time.
    Order::iterator fLastPlaced = fOrder.end();
};

WORKLOOP_NAMESPACE_END
