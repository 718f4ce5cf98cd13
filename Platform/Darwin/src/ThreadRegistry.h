#pragma once

#include "ThreadPolicyRecord.h"

#include <pthread.h>
#include <sys/types.h>

#include <functional>
#include <mutex>
#include <unordered_map>

namespace Darwin {

// Names the threads of the process and keeps their policy records. A thread is known by its kernel
// thread id together with its pthread_t: either alone is reused by Linux once a thread has ended.
class ThreadRegistry
{
public:
    static ThreadRegistry& instance();

    // MACH_PORT_NULL for a thread that has ended.
    mach_port_t nameOf(pthread_t thread);

    // Calls `use` with the policy record of a named thread, under the registry's lock. Returns false
    // for a name that is not a thread's.
    bool withPolicies(mach_port_t name, const std::function<void(ThreadPolicyRecord&)>& use);

private:
    struct Entry
    {
        pthread_t fThread;
        pid_t fTid;
        mach_port_t fName;
        ThreadPolicyRecord fPolicies;
    };

    ThreadRegistry() = default;
    void forgetEndedThreads();

    std::mutex fLock;
    std::unordered_map<pid_t, Entry> fByTid;
    std::unordered_map<mach_port_t, pid_t> fTidByName;
    size_t fPruneAt = 64;
};

} // namespace Darwin
