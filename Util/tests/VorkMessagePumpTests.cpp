#include <MessagePump.h>
#include <WrappedLambda.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
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

    Message recorder(int value)
    {
        return [this, value] {
            std::lock_guard lock(fMutex);
            fRan.push_back(value);
            fChanged.notify_all();
        };
    }

    std::vector<int> ran()
    {
        std::lock_guard lock(fMutex);
        return fRan;
    }

    void waitForBlockedWriters(int64_t count)
    {
        while (fPump->blockedWriters() < count) {
            std::this_thread::yield();
        }
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
    std::vector<std::thread> writers;
    for (int i = 0; i < 3; ++i) {
        writers.emplace_back([&] { fPump->post([&] { second.pass(); }); });
    }
    waitForBlockedWriters(3);
    first.open();
    // The writers' messages hold the worker in its next run, so only the run that drained the
    // queue can have released all three.
    for (auto& writer : writers) {
        writer.join();
    }
    second.open();
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

TEST_F(MessagePump, DestroyingRunningPumpFinishesTheMessageFirst)
{
    Gate gate;
    std::atomic<bool> finished{false};
    fPump->post([&] {
        gate.pass();
        finished = true;
    });
    gate.waitForArrivals(1);
    fPump->post(recorder(1));
    std::thread destroyer([&] { fPump.reset(); });
    gate.open();
    destroyer.join();
    EXPECT_TRUE(finished);
}

} // namespace
