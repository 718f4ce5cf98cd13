#pragma once

// Test seam: the activities the process has begun and not yet ended, oldest first.

#include <cstdint>
#include <string>
#include <vector>

namespace FoundationTesting {

struct ActivityRecord
{
    uint64_t fOptions;
    std::string fReason;
    uint64_t fSequence;
};

std::vector<ActivityRecord> activeActivities();

} // namespace FoundationTesting
