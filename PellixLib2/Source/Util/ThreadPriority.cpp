#include "ThreadPriority.h"

#include <mach/mach.h>
#include <mach/thread_policy.h>
#include <os/log.h>

namespace Pellix {

namespace {

// Time-constraint values of the high priority, in absolute-time units.
constexpr uint32_t kHighPeriod = 2500000;
constexpr uint32_t kHighComputation = 3000000;
constexpr uint32_t kHighConstraint = 4000000;

bool SetLow(thread_act_t thread)
{
    thread_precedence_policy_data_t policy{-63};
    return thread_policy_set(thread, THREAD_PRECEDENCE_POLICY, reinterpret_cast<thread_policy_t>(&policy),
                             THREAD_PRECEDENCE_POLICY_COUNT) == KERN_SUCCESS;
}

bool SetNormal(thread_act_t thread)
{
    thread_standard_policy_data_t policy{};
    return thread_policy_set(thread, THREAD_STANDARD_POLICY, reinterpret_cast<thread_policy_t>(&policy),
                             THREAD_STANDARD_POLICY_COUNT) == KERN_SUCCESS;
}

bool SetHigh(thread_act_t thread)
{
    thread_time_constraint_policy_data_t policy{};
    mach_msg_type_number_t count = THREAD_TIME_CONSTRAINT_POLICY_COUNT;
    boolean_t getDefault = FALSE;
    if (thread_policy_get(thread, THREAD_TIME_CONSTRAINT_POLICY, reinterpret_cast<thread_policy_t>(&policy),
                          &count, &getDefault) != KERN_SUCCESS) {
        return false;
    }
    policy.period = kHighPeriod;
    policy.computation = kHighComputation;
    policy.constraint = kHighConstraint;
    policy.preemptible = TRUE;
    return thread_policy_set(thread, THREAD_TIME_CONSTRAINT_POLICY,
                             reinterpret_cast<thread_policy_t>(&policy),
                             THREAD_TIME_CONSTRAINT_POLICY_COUNT) == KERN_SUCCESS;
}

} // namespace

void SetThreadPriority(pthread_t thread, Thread::ThreadPriority priority)
{
    thread_act_t machThread = pthread_mach_thread_np(thread);
    switch (priority) {
    case Thread::kLowPriority:
        if (!SetLow(machThread)) {
            os_log(OS_LOG_DEFAULT, "SetPriority low failed");
        }
        break;
    case Thread::kNormalPriority:
        if (!SetNormal(machThread)) {
            os_log(OS_LOG_DEFAULT, "SetPriority normal failed");
        }
        break;
    case Thread::kHighPriority:
        if (!SetHigh(machThread)) {
            os_log(OS_LOG_DEFAULT, "SetPriority high failed");
        }
        break;
    default:
        break;
    }
}

} // namespace Pellix
