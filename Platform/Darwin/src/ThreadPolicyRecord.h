#pragma once

#include <mach/thread_policy.h>

#include <map>
#include <optional>
#include <vector>

namespace Darwin {

// What the kernel keeps of a thread's scheduling policies: the values last set per flavor, and the
// failures tests inject into the next set or get.
struct ThreadPolicyRecord
{
    std::map<thread_policy_flavor_t, std::vector<integer_t>> fValues;
    std::optional<kern_return_t> fNextSetResult;
    std::optional<kern_return_t> fNextGetResult;
};

} // namespace Darwin
