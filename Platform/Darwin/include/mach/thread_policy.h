#pragma once

// Scheduling policies. They are recorded per thread and answered back; the real scheduling of the
// thread does not change.

#include <mach/boolean.h>
#include <mach/mach_types.h>

typedef natural_t thread_policy_flavor_t;
typedef integer_t* thread_policy_t;

#define THREAD_STANDARD_POLICY 1
#define THREAD_TIME_CONSTRAINT_POLICY 2
#define THREAD_PRECEDENCE_POLICY 3

struct thread_standard_policy
{
    natural_t no_data;
};
typedef struct thread_standard_policy thread_standard_policy_data_t;
#define THREAD_STANDARD_POLICY_COUNT 0

struct thread_time_constraint_policy
{
    uint32_t period;
    uint32_t computation;
    uint32_t constraint;
    boolean_t preemptible;
};
typedef struct thread_time_constraint_policy thread_time_constraint_policy_data_t;
#define THREAD_TIME_CONSTRAINT_POLICY_COUNT                                                                  \
    ((mach_msg_type_number_t)(sizeof(thread_time_constraint_policy_data_t) / sizeof(integer_t)))

struct thread_precedence_policy
{
    integer_t importance;
};
typedef struct thread_precedence_policy thread_precedence_policy_data_t;
#define THREAD_PRECEDENCE_POLICY_COUNT                                                                       \
    ((mach_msg_type_number_t)(sizeof(thread_precedence_policy_data_t) / sizeof(integer_t)))

__BEGIN_DECLS

kern_return_t thread_policy_set(thread_act_t thread, thread_policy_flavor_t flavor,
                                thread_policy_t policy_info, mach_msg_type_number_t count);

// Answers the values last set for the thread and flavor, or the defaults with *get_default set
// (also when *get_default is set on entry).
kern_return_t thread_policy_get(thread_act_t thread, thread_policy_flavor_t flavor,
                                thread_policy_t policy_info, mach_msg_type_number_t* count,
                                boolean_t* get_default);

__END_DECLS
