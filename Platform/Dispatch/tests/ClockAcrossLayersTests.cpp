// One manual-clock advance across the layers: run-loop timers on two threads, a Mach semaphore's
// timed wait, dispatch_after and mach_wait_until complete in deadline order, each at its deadline.

#include <CoreFoundation/CoreFoundation.h>
#include <Darwin/Clock.h>
#include <DarwinTesting/Eventually.h>
#include <DarwinTesting/ManualClock.h>
#include <dispatch/dispatch.h>
#include <gtest/gtest.h>
#include <mach/mach.h>
#include <mach/mach_time.h>
#include <mach/semaphore.h>

#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

// Each party's name and the host time it read as it completed.
class Completions
{
public:
    void add(const std::string& name)
    {
        std::lock_guard<std::mutex> lock(fLock);
        fList.emplace_back(name, mach_absolute_time());
    }

    std::vector<std::pair<std::string, uint64_t>> list()
    {
        std::lock_guard<std::mutex> lock(fLock);
        return fList;
    }

private:
    std::mutex fLock;
    std::vector<std::pair<std::string, uint64_t>> fList;
};

// A thread running its own loop with one one-shot timer.
class TimerLoopThread
{
public:
    TimerLoopThread(std::string name, double seconds, Completions& completions)
        : fName(std::move(name)), fCompletions(completions)
    {
        std::promise<CFRunLoopRef> started;
        fThread = std::thread([this, seconds, &started] {
            CFRunLoopTimerContext context{0, this, nullptr, nullptr, nullptr};
            CFRunLoopTimerRef timer = CFRunLoopTimerCreate(nullptr, CFAbsoluteTimeGetCurrent() + seconds, 0,
                                                           0, 0, &fired, &context);
            CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);
            started.set_value(static_cast<CFRunLoopRef>(const_cast<void*>(CFRetain(CFRunLoopGetCurrent()))));
            CFRunLoopRun();
            CFRelease(timer);
        });
        fLoop = started.get_future().get();
    }

    ~TimerLoopThread()
    {
        // The loop either sleeps with nothing left to serve or has already returned.
        CFRunLoopStop(fLoop);
        fThread.join();
        CFRelease(fLoop);
    }

private:
    static void fired(CFRunLoopTimerRef, void* info)
    {
        auto* self = static_cast<TimerLoopThread*>(info);
        self->fCompletions.add(self->fName);
    }

    const std::string fName;
    Completions& fCompletions;
    CFRunLoopRef fLoop = nullptr;
    std::thread fThread;
};

TEST(ManualClockAcrossLayers, OneAdvanceCompletesEachWaitInDeadlineOrderAtItsOwnDeadline)
{
    DarwinTesting::ManualClock clock;
    const uint64_t start = mach_absolute_time();
    auto at = [start](uint64_t seconds) { return start + seconds * NSEC_PER_SEC; };
    // Parties start latest first; each is pending (the earliest deadline) before the next starts.
    auto waitUntilPending = [&clock](uint64_t deadline) {
        EXPECT_TRUE(DarwinTesting::eventually([&] { return clock.nextDeadline() == deadline; }))
            << "nothing came to wait for " << deadline;
    };
    Completions completions;

    // Plain waits serve the clock until their scope ends, so each reads the clock before it moves.
    std::thread untilWaiter([&] {
        DarwinClock::ServiceScope scope("mach_wait_until waiter");
        if (mach_wait_until(at(5)) == KERN_SUCCESS) {
            completions.add("mach_wait_until");
        }
    });
    waitUntilPending(at(5));

    dispatch_queue_t queue = dispatch_queue_create("com.vork.tests.across", DISPATCH_QUEUE_SERIAL);
    dispatch_after(at(4), queue, [&completions] { completions.add("dispatch_after"); });
    waitUntilPending(at(4));

    semaphore_t semaphore;
    ASSERT_EQ(semaphore_create(mach_task_self(), &semaphore, SYNC_POLICY_FIFO, 0), KERN_SUCCESS);
    std::thread semaphoreWaiter([&] {
        DarwinClock::ServiceScope scope("semaphore waiter");
        if (semaphore_timedwait(semaphore, mach_timespec_t{3, 0}) == KERN_OPERATION_TIMED_OUT) {
            completions.add("semaphore_timedwait");
        }
    });
    waitUntilPending(at(3));

    {
        TimerLoopThread loopB("timer on loop B", 2.0, completions);
        waitUntilPending(at(2));
        TimerLoopThread loopA("timer on loop A", 1.0, completions);
        waitUntilPending(at(1));

        EXPECT_TRUE(completions.list().empty());
        clock.advance(std::chrono::seconds(10));
    }
    untilWaiter.join();
    semaphoreWaiter.join();
    semaphore_destroy(mach_task_self(), semaphore);
    dispatch_release(queue);

    const std::vector<std::pair<std::string, uint64_t>> expected = {{"timer on loop A", at(1)},
                                                                    {"timer on loop B", at(2)},
                                                                    {"semaphore_timedwait", at(3)},
                                                                    {"dispatch_after", at(4)},
                                                                    {"mach_wait_until", at(5)}};
    EXPECT_EQ(completions.list(), expected);
    EXPECT_EQ(mach_absolute_time(), at(10));
}

} // namespace
