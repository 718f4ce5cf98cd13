#pragma once

// The process's active activities, kept for its tests.

#include <cstdint>
#include <string>
#include <vector>

namespace Foundation {

struct Activity
{
    uint64_t fOptions;
    std::string fReason;
    uint64_t fSequence;
};

std::vector<Activity> activeActivities();

} // namespace Foundation
