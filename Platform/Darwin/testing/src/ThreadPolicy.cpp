#include <DarwinTesting/ThreadPolicy.h>

#include "ThreadRegistry.h"

namespace DarwinTesting {

std::optional<std::vector<integer_t>> recordedThreadPolicy(thread_act_t thread, thread_policy_flavor_t flavor)
{
    std::optional<std::vector<integer_t>> values;
    Darwin::ThreadRegistry::instance().withPolicies(thread, [&](Darwin::ThreadPolicyRecord& record) {
        auto found = record.fValues.find(flavor);
        if (found != record.fValues.end()) {
            values = found->second;
        }
    });
    return values;
}

void failNextThreadPolicySet(thread_act_t thread, kern_return_t result)
{
    Darwin::ThreadRegistry::instance().withPolicies(
        thread, [&](Darwin::ThreadPolicyRecord& record) { record.fNextSetResult = result; });
}

void failNextThreadPolicyGet(thread_act_t thread, kern_return_t result)
{
    Darwin::ThreadRegistry::instance().withPolicies(
        thread, [&](Darwin::ThreadPolicyRecord& record) { record.fNextGetResult = result; });
}

} // namespace DarwinTesting
