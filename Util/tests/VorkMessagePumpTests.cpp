#include "VorkDeadline.h"
#include "VorkSemaphoreSignalHook.h"

#include <MessagePump.h>
#include <WrappedLambda.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using Message = vork::wrapped_lambda<void(), 128, 8>;
using Pump = vork::MessagePump<Message, 100>;

// Holds the messages that pass through it until opened.
class Gate
{
public:
    void pass()
    {
        std::unique_lock lock(fMutex);
        ++fArrived;
        fChanged.notify_all();
        fChanged.wait(lock, [&] { return fOpen; });
    }

    void waitForArrivals(int count)
    {
        std::unique_lock lock(fMutex);
        fChanged.wait(lock, [&] { return fArrived >= count; });
    }

    void open()
    {
        std::lock_guard lock(fMutex);
        fOpen = true;
        fChanged.notify_all();
    }

private:
    std::mutex fMutex;
    std::condition_variable fChanged;
    int fArrived = 0;
    bool fOpen = false;
};

class MessagePump : public testing::Test
{
protected:
    MessagePump() { fPump->start(); }

    // Messages record themselves here on the worker; the test reads it once the worker is done.
    void waitForRuns(std::size_t count)
    {
        std::unique_lock lock(fMutex);
        fChanged.wait(lock, [&] { return fRan.size() >= count; });
    }

    void record(int value)
    {
        std::lock_guard lock(fMutex);
        fRan.push_back(value);
        fChanged.notify_all();
    }

    Message recorder(int value)
    {
        return [this, value] { record(value); };
    }

    std::vector<int> ran()
    {
        std::lock_guard lock(fMutex);
        return fRan;
    }

    void waitForBlockedWriters(int64_t count)
    {
        ASSERT_TRUE(VorkTesting::eventually([&] { return fPump->blockedWriters() >= count; }));
    }

    std::mutex fMutex;
    std::condition_variable fChanged;
    std::vector<int> fRan;
    std::unique_ptr<Pump> fPump = std::make_unique<Pump>([](const Message& message) { message(); });
};

TEST_F(MessagePump, HundredFitWhileWorkerIsBusyAndTheNextWaitsForTheDrain)
{
    Gate gate;
    fPump->post([&] { gate.pass(); });
    gate.waitForArrivals(1);
    std::atomic<int> posted{0};
    std::thread poster([&] {
        for (int i = 0; i < 101; ++i) {
            fPump->post(recorder(i));
            ++posted;
        }
    });
    waitForBlockedWriters(1);
    EXPECT_EQ(posted, 100);
    gate.open();
    poster.join();
    waitForRuns(101);
    std::vector<int> expected(101);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(ran(), expected);
}

TEST_F(MessagePump, PostSyncFromRunningMessageRunsAtOnce)
{
    fPump->post([&] {
        fPump->postSync(recorder(1));
        recorder(2)();
    });
    waitForRuns(2);
    EXPECT_EQ(ran(), (std::vector<int>{1, 2}));
}

TEST_F(MessagePump, ThrowingMessagesDoNotStopThePump)
{
    fPump->post([] { throw std::runtime_error("failed"); });
    fPump->post(recorder(1));
    EXPECT_THROW(fPump->postSync([] { throw std::runtime_error("failed"); }), std::runtime_error);
    fPump->postSync(recorder(2));
    EXPECT_EQ(ran(), (std::vector<int>{1, 2}));
}

TEST_F(MessagePump, OneRunReleasesEveryBlockedWriter)
{
    Gate first;
    Gate second;
    fPump->post([&] { first.pass(); });
    first.waitForArrivals(1);
    for (int i = 0; i < 100; ++i) {
        fPump->post(recorder(i));
    }
    std::atomic<int> returned{0};
    std::vector<std::thread> writers;
    for (int i = 0; i < 3; ++i) {
        writers.emplace_back([&] {
            fPump->post([&] { second.pass(); });
            ++returned;
        });
    }
    waitForBlockedWriters(3);
    first.open();
    // The writers' messages hold the worker in its next run, so only the run that drained the
    // queue can have released all three.
    EXPECT_TRUE(VorkTesting::eventually([&] { return returned == 3; }));
    second.open();
    for (auto& writer : writers) {
        writer.join();
    }
    fPump->stop();
}

TEST_F(MessagePump, WorkerPostingIntoItsFullQueueDrainsInline)
{
    fPump->post([&] {
        for (int i = 0; i < 150; ++i) {
            fPump->post(recorder(i));
        }
    });
    waitForRuns(150);
    std::vector<int> expected(150);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(ran(), expected);
}

// The executor's captures tell when the pump frees it, which it does only after its worker ended.
class OnDestruction
{
public:
    explicit OnDestruction(std::function<void()> action) : fAction(std::move(action)) {}
    OnDestruction(const OnDestruction&) = delete;
    OnDestruction& operator=(const OnDestruction&) = delete;
    ~OnDestruction() { fAction(); }

private:
    std::function<void()> fAction;
};

TEST_F(MessagePump, DestroyingRunningPumpFinishesTheMessageFirst)
{
    constexpr int kMessageFinished = 1;
    constexpr int kExecutorFreed = 2;
    auto freed = std::make_shared<OnDestruction>([this] { record(kExecutorFreed); });
    fPump = std::make_unique<Pump>([freed = std::move(freed)](const Message& message) { message(); });
    fPump->start();
    Gate gate;
    fPump->post([&] {
        gate.pass();
        record(kMessageFinished);
    });
    gate.waitForArrivals(1);
    // Destruction has begun when the destroying thread signals the worker to stop; only then may
    // the message go on.
    std::thread destroyer([&] {
        VorkTesting::afterNextSemaphoreSignal([&] { gate.open(); });
        fPump.reset();
    });
    destroyer.join();
    EXPECT_EQ(ran(), (std::vector<int>{kMessageFinished, kExecutorFreed}));
}

} // namespace
