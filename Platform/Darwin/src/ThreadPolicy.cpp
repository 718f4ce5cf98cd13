#include "ThreadRegistry.h"

#include <algorithm>
#include <utility>

namespace {

// The number of words each flavor carries, or -1 for an unknown flavor.
int wordsOf(thread_policy_flavor_t flavor)
{
    switch (flavor) {
    case THREAD_STANDARD_POLICY:
        return THREAD_STANDARD_POLICY_COUNT;
    case THREAD_TIME_CONSTRAINT_POLICY:
        return THREAD_TIME_CONSTRAINT_POLICY_COUNT;
    case THREAD_PRECEDENCE_POLICY:
        return THREAD_PRECEDENCE_POLICY_COUNT;
    default:
        return -1;
    }
}

// What a thread has before any policy is set: timesharing, no real-time constraint, importance 0.
std::vector<integer_t> defaultsOf(thread_policy_flavor_t flavor)
{
    if (flavor == THREAD_TIME_CONSTRAINT_POLICY) {
        return {0, 0, 0, TRUE};
    }
    return std::vector<integer_t>(size_t(wordsOf(flavor)), 0);
}

} // namespace

kern_return_t thread_policy_set(thread_act_t thread, thread_policy_flavor_t flavor,
                                thread_policy_t policy_info, mach_msg_type_number_t count)
{
    int words = wordsOf(flavor);
    if (words < 0 || count != mach_msg_type_number_t(words) || (words > 0 && !policy_info)) {
        return KERN_INVALID_ARGUMENT;
    }
    kern_return_t result = KERN_SUCCESS;
    bool known =
        Darwin::ThreadRegistry::instance().withPolicies(thread, [&](Darwin::ThreadPolicyRecord& record) {
            if (record.fNextSetResult) {
                result = *std::exchange(record.fNextSetResult, std::nullopt);
                return;
            }
            record.fValues[flavor].assign(policy_info, policy_info + words);
        });
    return known ? result : KERN_INVALID_ARGUMENT;
}

kern_return_t thread_policy_get(thread_act_t thread, thread_policy_flavor_t flavor,
                                thread_policy_t policy_info, mach_msg_type_number_t* count,
                                boolean_t* get_default)
{
    int words = wordsOf(flavor);
    if (words < 0 || !count || !get_default || *count < mach_msg_type_number_t(words) ||
        (words > 0 && !policy_info)) {
        return KERN_INVALID_ARGUMENT;
    }
    kern_return_t result = KERN_SUCCESS;
    bool known =
        Darwin::ThreadRegistry::instance().withPolicies(thread, [&](Darwin::ThreadPolicyRecord& record) {
            if (record.fNextGetResult) {
                result = *std::exchange(record.fNextGetResult, std::nullopt);
                return;
            }
            auto set = record.fValues.find(flavor);
            bool useDefault = *get_default || set == record.fValues.end();
            std::vector<integer_t> values = useDefault ? defaultsOf(flavor) : set->second;
            std::copy(values.begin(), values.end(), policy_info);
            *count = mach_msg_type_number_t(words);
            *get_default = useDefault;
        });
    return known ? result : KERN_INVALID_ARGUMENT;
}
