#include "ThreadRegistry.h"

#include "Names.h"

#include <mach/mach_init.h>

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace Darwin {

namespace {

// The kernel thread id of a live thread, 0 once it has ended. A thread's CPU clock id encodes its
// thread id (as ~tid << 3, with the per-thread scheduling-clock bits below).
pid_t tidOf(pthread_t thread)
{
    if (pthread_equal(thread, pthread_self())) {
        return gettid();
    }
    clockid_t clock;
    if (pthread_getcpuclockid(thread, &clock) != 0) {
        return 0;
    }
    return pid_t(~(clock >> 3));
}

bool threadExists(pid_t tid)
{
    return syscall(SYS_tgkill, getpid(), tid, 0) == 0 || errno != ESRCH;
}

} // namespace

ThreadRegistry& ThreadRegistry::instance()
{
    static auto* registry = new ThreadRegistry;
    return *registry;
}

mach_port_t ThreadRegistry::nameOf(pthread_t thread)
{
    pid_t tid = tidOf(thread);
    if (tid <= 0) {
        return MACH_PORT_NULL;
    }
    std::lock_guard lock(fLock);
    auto found = fByTid.find(tid);
    if (found != fByTid.end()) {
        if (pthread_equal(found->second.fThread, thread)) {
            return found->second.fName;
        }
        // The thread id belonged to a thread that has ended.
        fTidByName.erase(found->second.fName);
        fByTid.erase(found);
    }
    if (fByTid.size() >= fPruneAt) {
        forgetEndedThreads();
    }
    mach_port_t name = newName();
    fByTid.emplace(tid, Entry{thread, tid, name, {}});
    fTidByName.emplace(name, tid);
    return name;
}

void ThreadRegistry::forgetEndedThreads()
{
    for (auto entry = fByTid.begin(); entry != fByTid.end();) {
        if (threadExists(entry->first)) {
            ++entry;
        } else {
            fTidByName.erase(entry->second.fName);
            entry = fByTid.erase(entry);
        }
    }
    fPruneAt = 2 * fByTid.size() + 64;
}

bool ThreadRegistry::withPolicies(mach_port_t name, const std::function<void(ThreadPolicyRecord&)>& use)
{
    std::lock_guard lock(fLock);
    auto tid = fTidByName.find(name);
    if (tid == fTidByName.end()) {
        return false;
    }
    use(fByTid.at(tid->second).fPolicies);
    return true;
}

} // namespace Darwin

mach_port_t mach_thread_self(void)
{
    return Darwin::ThreadRegistry::instance().nameOf(pthread_self());
}

mach_port_t pthread_mach_thread_np(pthread_t thread)
{
    return Darwin::ThreadRegistry::instance().nameOf(thread);
}
