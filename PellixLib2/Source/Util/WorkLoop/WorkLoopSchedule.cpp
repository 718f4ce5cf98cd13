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
    auto listed = fListed.find(item);
    if (listed == fListed.end()) {
        auto position = fOrder.insert(entry).first;
        try {
            fListed.emplace(item, position);
        } catch (...) {
            fOrder.erase(position);
            throw;
        }
        return;
    }
    // Moved without a new allocation.
    auto node = fOrder.extract(listed->second);
    node.value() = entry;
    listed->second = fOrder.insert(std::move(node)).position;
}

void WorkLoopSchedule::Remove(const WorkLoopItem* item)
{
    auto listed = fListed.find(item);
    if (listed != fListed.end()) {
        fOrder.erase(listed->second);
        fListed.erase(listed);
    }
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
