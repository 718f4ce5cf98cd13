// The host's real-time class for the threads a Mac runs ahead of applications, and the mutex that
// lends a waiting real-time thread's priority to an ordinary holder.

#include <Darwin/InheritingMutex.h>
#include <Darwin/RealTimeClass.h>
#include <DarwinTesting/Eventually.h>

#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

namespace {

// Whether a thread of this process may enter the first-in-first-out real-time class.
bool MayRunRealTime()
{
    bool allowed = false;
    std::thread([&] { allowed = DarwinRealTime::enter(DarwinRealTime::kDriverLevel); }).join();
    return allowed;
}

// The kernel's priority of thread `tid` as /proc shows it: 20 for an ordinary thread at nice 0,
// -1 - level for a thread of the real-time classes.
int KernelPriority(pid_t tid)
{
    std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The fields after the command name, which is in parentheses and may hold spaces.
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int index = 3; index <= 18 && fields >> field; ++index) {
    }
    return std::stoi(field);
}

TEST(RealTimeClass, AThreadEntersItWhereTheProcessMay)
{
    const bool allowed = MayRunRealTime();
    int priority = 0;
    std::thread([&] {
        DarwinRealTime::enter(DarwinRealTime::kHardwareLevel);
        priority = KernelPriority(pid_t(syscall(SYS_gettid)));
    }).join();
    EXPECT_EQ(priority, allowed ? -1 - sched_get_priority_max(SCHED_FIFO) : 20);
}

TEST(InheritingMutex, AnOrdinaryHolderRunsAtThePriorityOfARealTimeThreadWaitingForIt)
{
    const bool allowed = MayRunRealTime();
    const auto holder = pid_t(syscall(SYS_gettid));
    const int ordinary = KernelPriority(holder);
    DarwinRealTime::InheritingMutex mutex;
    std::atomic<bool> waiting = false;
    std::atomic<bool> acquired = false;
    mutex.lock();
    std::thread waiter([&] {
        DarwinRealTime::enter(DarwinRealTime::kDriverLevel);
        waiting = true;
        std::lock_guard lock(mutex);
        acquired = true;
    });
    ASSERT_TRUE(DarwinTesting::eventually([&] { return waiting.load(); }));
    if (allowed) {
        const int lent = -1 - (sched_get_priority_max(SCHED_FIFO) - DarwinRealTime::kDriverLevel);
        EXPECT_TRUE(DarwinTesting::eventually([&] { return KernelPriority(holder) == lent; }));
    }
    EXPECT_FALSE(acquired.load());
    mutex.unlock();
    waiter.join();
    EXPECT_TRUE(acquired.load());
    EXPECT_EQ(KernelPriority(holder), ordinary);
}

} // namespace
