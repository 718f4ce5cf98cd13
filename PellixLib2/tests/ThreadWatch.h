#pragma once

// What the tests watch of other threads: a wait they sleep in, their end. The states they bring
// about are waited for with DarwinTesting::eventually, which gives up after a generous bound.

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <DarwinTesting/Eventually.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

namespace PellixTesting {

// The kernel's id of the calling thread.
inline pid_t KernelThreadId()
{
    return pid_t(syscall(SYS_gettid));
}

// Whether the thread sleeps in the kernel, as a thread blocked in a wait does.
inline bool IsAsleep(pid_t thread)
{
    std::ifstream file("/proc/self/task/" + std::to_string(thread) + "/stat");
    const std::string stat{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    // The state follows the command name, which is in parentheses and may hold any character.
    const size_t nameEnd = stat.rfind(')');
    return nameEnd != std::string::npos && nameEnd + 2 < stat.size() && stat[nameEnd + 2] == 'S';
}

// Sets a flag when the thread that made it ends: give the thread one as a thread_local.
struct ThreadEnd
{
    ~ThreadEnd()
    {
        if (fEnded) {
            fEnded->store(true);
        }
    }

    std::atomic<bool>* fEnded = nullptr;
};

} // namespace PellixTesting
