#pragma once

#include <mach/thread_policy.h>

#include <optional>
#include <vector>

namespace DarwinTesting {

// The values last set on the thread for the flavor, if any.
std::optional<std::vector<integer_t>> recordedThreadPolicy(thread_act_t thread,
                                                           thread_policy_flavor_t flavor);

// The next thread_policy_set, or thread_policy_get, on the thread returns `result` and changes
// nothing.
void failNextThreadPolicySet(thread_act_t thread, kern_return_t result);
void failNextThreadPolicyGet(thread_act_t thread, kern_return_t result);

} // namespace DarwinTesting
