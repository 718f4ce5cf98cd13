#include <Darwin/RealTimeClass.h>
#include <DarwinTesting/Eventually.h>
#include <DarwinTesting/RealTimeClass.h>
#include <DriverKit/DriverKit.h>

#include <gtest/gtest.h>

#include <sched.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

OSSharedPtr<IODispatchQueue> makeQueue(const char* name)
{
    IODispatchQueue* queue = nullptr;
    EXPECT_EQ(IODispatchQueue::Create(name, 0, 0, &queue), kIOReturnSuccess);
    return OSSharedPtr<IODispatchQueue>(queue, OSNoRetain);
}

TEST(DispatchQueue, RunsBlocksInOrder)
{
    auto queue = makeQueue("order");
    std::vector<int> seen;
    for (int i = 0; i < 200; ++i) {
        queue->DispatchAsync([&seen, i] { seen.push_back(i); });
    }
    queue->DispatchSync([] {});
    ASSERT_EQ(seen.size(), 200u);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(seen[size_t(i)], i);
    }
}

// A simulated system streaming on the real clock runs the driver's queues ahead of other programs,
// where the process may; unit tests leave them ordinary.
TEST(DispatchQueue, RunsInTheRealTimeClassOnlyWhenDriverThreadsAre)
{
    int allowed = SCHED_OTHER;
    std::thread([&] {
        allowed = DarwinRealTime::enter(DarwinRealTime::kDriverLevel) ? SCHED_FIFO : SCHED_OTHER;
    }).join();
    auto policyOf = [](const char* name) {
        auto queue = makeQueue(name);
        int policy = -1;
        queue->DispatchSync([&] { policy = sched_getscheduler(0); });
        return policy;
    };
    EXPECT_EQ(policyOf("ordinary"), SCHED_OTHER);
    DarwinTesting::setDriverThreadsRealTime(true);
    const int driverPolicy = policyOf("driver");
    DarwinTesting::setDriverThreadsRealTime(false);
    EXPECT_EQ(driverPolicy, allowed);
}

TEST(DispatchQueue, DispatchSyncWaitsForItsBlock)
{
    auto queue = makeQueue("sync");
    std::atomic<bool> ran{false};
    queue->DispatchAsync([] { std::this_thread::yield(); });
    EXPECT_EQ(queue->DispatchSync([&] { ran = true; }), kIOReturnSuccess);
    EXPECT_TRUE(ran);
}

// A block that waits for another thread: its caller waits in turn, and sees everything the block
// wrote once DispatchSync returns.
TEST(DispatchQueue, DispatchSyncReturnsOnceItsBlockHasFinished)
{
    auto queue = makeQueue("slow sync");
    std::mutex lock;
    std::condition_variable changed;
    bool entered = false;
    bool open = false;
    int written = 0;
    std::thread opener([&] {
        std::unique_lock guard(lock);
        EXPECT_TRUE(changed.wait_for(guard, DarwinTesting::kPollLimit, [&] { return entered; }));
        open = true;
        changed.notify_all();
    });
    EXPECT_EQ(queue->DispatchSync([&] {
        std::unique_lock guard(lock);
        entered = true;
        changed.notify_all();
        changed.wait(guard, [&] { return open; });
        written = 42;
    }),
              kIOReturnSuccess);
    EXPECT_EQ(written, 42);
    opener.join();
}

TEST(DispatchQueue, OnQueueOnlyOnItsThread)
{
    auto queue = makeQueue("on");
    auto other = makeQueue("other");
    EXPECT_FALSE(queue->OnQueue());
    bool inside = false;
    bool onOther = true;
    queue->DispatchSync([&] {
        inside = queue->OnQueue();
        onOther = other->OnQueue();
    });
    EXPECT_TRUE(inside);
    EXPECT_FALSE(onOther);
}

TEST(DispatchQueue, CancelDrainsThenRunsTheHandlerAndRefusesMore)
{
    auto queue = makeQueue("cancel");
    std::mutex lock;
    std::condition_variable done;
    std::vector<std::string> events;
    for (int i = 0; i < 5; ++i) {
        queue->DispatchAsync([&, i] {
            std::lock_guard guard(lock);
            events.push_back("block " + std::to_string(i));
        });
    }
    EXPECT_EQ(queue->Cancel([&] {
        std::lock_guard guard(lock);
        events.push_back("cancelled");
        done.notify_all();
    }),
              kIOReturnSuccess);
    queue->DispatchAsync([&] {
        std::lock_guard guard(lock);
        events.push_back("late");
    });
    EXPECT_EQ(queue->DispatchSync([] {}), kIOReturnAborted);
    std::unique_lock guard(lock);
    done.wait(guard, [&] { return !events.empty() && events.back() == "cancelled"; });
    EXPECT_EQ(events.size(), 6u);
    EXPECT_EQ(events[4], "block 4");
}

TEST(DispatchQueueDeathTest, DispatchSyncOntoItsOwnQueueIsReported)
{
    EXPECT_DEATH(
        {
            auto queue = makeQueue("self");
            queue->DispatchSync([&] { queue->DispatchSync([] {}); });
        },
        "would wait forever");
}

TEST(DispatchQueue, FreedFromABlockOnItself)
{
    IODispatchQueue* queue = nullptr;
    ASSERT_EQ(IODispatchQueue::Create("self-release", 0, 0, &queue), kIOReturnSuccess);
    std::mutex lock;
    std::condition_variable done;
    bool released = false;
    queue->DispatchAsync([&, queue] {
        queue->release();
        std::lock_guard guard(lock);
        released = true;
        done.notify_all();
    });
    std::unique_lock guard(lock);
    done.wait(guard, [&] { return released; });
}

} // namespace
