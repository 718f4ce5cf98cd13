#include "WorkLoopSchedule.h"

WORKLOOP_NAMESPACE_BEGIN

namespace {

// The run-loop timer's deadlines are whole microseconds, and a double of today's absolute time
// resolves about 0.12 us: an item due within a microsecond is due now, or the timer that fired for
// it would find it not yet due and fire again at once.
constexpr double kDueTolerance = 1e-6;

} // namespace

void WorkLoopSchedule::Place(WorkLoopItem* item, double fireTime)
{
    item->fNextFireTime = fireTime;
    Entry entry{fireTime, fNextSequence++, item};
    // A new latest item goes at the end; others most often next to the one placed before.
    auto hint = fOrder.empty() || DueFirst()(*fOrder.rbegin(), entry) ? fOrder.end() : fLastPlaced;
    auto listed = fListed.find(item);
    if (listed == fListed.end()) {
        fLastPlaced = fOrder.insert(hint, entry);
        try {
            fListed.emplace(item, fLastPlaced);
        } catch (...) {
            Erase(fLastPlaced);
            throw;
        }
        return;
    }
    // Moved without a new allocation.
    if (hint == listed->second) {
        hint = std::next(hint);
    }
    if (fLastPlaced == listed->second) {
        fLastPlaced = fOrder.end();
    }
    auto node = fOrder.extract(listed->second);
    node.value() = entry;
    fLastPlaced = fOrder.insert(hint, std::move(node));
    listed->second = fLastPlaced;
}

void WorkLoopSchedule::Remove(const WorkLoopItem* item)
{
    auto listed = fListed.find(item);
    if (listed != fListed.end()) {
        Erase(listed->second);
        fListed.erase(listed);
    }
}

void WorkLoopSchedule::Erase(Order::iterator position)
{
    if (position == fLastPlaced) {
        fLastPlaced = fOrder.end();
    }
    fOrder.erase(position);
}

WorkLoopItem* WorkLoopSchedule::NextDue(const Pass& pass) const
{
    // Items listed during the pass sort first among equal times; they are passed over.
    for (const Entry& entry : fOrder) {
        if (entry.fFireTime > pass.fNow + kDueTolerance) {
            return nullptr;
        }
        if (entry.fSequence < pass.fFirstLaterSequence) {
            return entry.fItem;
        }
    }
    return nullptr;
}

WORKLOOP_NAMESPACE_END
