#pragma once

// What the tests watch of other threads: a state they bring about, a wait they sleep in, their end.
// The waits give up after a generous bound, so that a fault fails the test instead of hanging it.

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

namespace PellixTesting {

inline constexpr std::chrono::seconds kPatience{30};

// True once `condition` holds; false when it has not within the patience.
template <typename Condition>
[[nodiscard]] bool Eventually(Condition condition)
{
    const auto limit = std::chrono::steady_clock::now() + kPatience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > limit) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

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
