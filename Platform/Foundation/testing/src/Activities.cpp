#include <FoundationTesting/Activities.h>

#include "Activities.h"

namespace FoundationTesting {

std::vector<ActivityRecord> activeActivities()
{
    std::vector<ActivityRecord> records;
    for (const Foundation::Activity& activity : Foundation::activeActivities()) {
        records.push_back({activity.fOptions, activity.fReason, activity.fSequence});
    }
    return records;
}

} // namespace FoundationTesting
