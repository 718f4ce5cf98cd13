#include "VorkDeadline.h"
#include "VorkSemaphoreSignalHook.h"

#include <ThreadTask.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

// Counts the functor's runs; the first run can be held until the test lets it go.
struct Runs
{
    void runOnce()
    {
        std::unique_lock lock(fMutex);
        ++fStarted;
        fChanged.notify_all();
        if (fStarted == 1) {
            fChanged.wait(lock, [&] { return !fHoldFirst; });
        }
        ++fFinished;
        fChanged.notify_all();
    }

    void waitUntilStarted(int count)
    {
        std::unique_lock lock(fMutex);
        fChanged.wait(lock, [&] { return fStarted >= count; });
    }

    void waitUntilFinished(int count)
    {
        std::unique_lock lock(fMutex);
        fChanged.wait(lock, [&] { return fFinished >= count; });
    }

    void releaseFirst()
    {
        std::lock_guard lock(fMutex);
        fHoldFirst = false;
        fChanged.notify_all();
    }

    int started()
    {
        std::lock_guard lock(fMutex);
        return fStarted;
    }

    std::mutex fMutex;
    std::condition_variable fChanged;
    int fStarted = 0;
    int fFinished = 0;
    bool fHoldFirst = true;
};

TEST(ThreadTask, SignalsDuringRunFoldIntoOneMoreRun)
{
    Runs runs;
    vork::ThreadTask<> task([&] { runs.runOnce(); });
    task.start();
    task.signal();
    runs.waitUntilStarted(1);
    for (int i = 0; i < 10; ++i) {
        task.signal();
    }
    runs.releaseFirst();
    runs.waitUntilFinished(2);
    task.stop();
    EXPECT_EQ(runs.started(), 2);
}

TEST(ThreadTask, SignalBeforeStartDoesNotRun)
{
    std::atomic<bool> signalledAfterStart{false};
    std::atomic<bool> ranEarly{false};
    Runs runs;
    runs.fHoldFirst = false;
    vork::ThreadTask<> task([&] {
        if (!signalledAfterStart) {
            ranEarly = true;
        }
        runs.runOnce();
    });
    for (int i = 0; i < 5; ++i) {
        task.signal();
    }
    task.start();
    ASSERT_TRUE(VorkTesting::eventually([&] { return task.workerThread() != pthread_t{}; }));
    signalledAfterStart = true;
    task.signal();
    runs.waitUntilFinished(1);
    task.stop();
    EXPECT_FALSE(ranEarly);
    EXPECT_EQ(runs.started(), 1);
}

TEST(ThreadTask, SignalAfterStopBegunDoesNothing)
{
    Runs runs;
    vork::ThreadTask<> task([&] { runs.runOnce(); });
    task.start();
    task.signal();
    runs.waitUntilStarted(1);
    // Stop has begun once it wakes the worker.
    std::atomic<bool> stopping{false};
    std::thread stopper([&] {
        VorkTesting::afterNextSemaphoreSignal([&] { stopping = true; });
        task.stop();
    });
    ASSERT_TRUE(VorkTesting::eventually([&] { return stopping.load(); }));
    for (int i = 0; i < 1000; ++i) {
        task.signal();
    }
    runs.releaseFirst();
    stopper.join();
    EXPECT_EQ(runs.started(), 1);
}

TEST(ThreadTask, StopWithoutStartReturns)
{
    int runs = 0;
    vork::ThreadTask<> task([&] { ++runs; });
    task.signal();
    task.stop();
    EXPECT_EQ(runs, 0);
}

TEST(ThreadTask, RestartRunsFreshThreadWithSameFunctor)
{
    Runs runs;
    runs.fHoldFirst = false;
    std::vector<int> runsOnThread;
    vork::ThreadTask<> task([&] {
        thread_local int runsHere = 0;
        runsOnThread.push_back(++runsHere);
        runs.runOnce();
    });
    task.start();
    task.signal();
    runs.waitUntilFinished(1);
    task.stop();
    task.start();
    task.signal();
    runs.waitUntilFinished(2);
    task.stop();
    EXPECT_EQ(runsOnThread, (std::vector<int>{1, 1}));
}

// A functor that throws, and one that calls an empty function, as the worker does with an empty
// functor.
TEST(ThreadTask, ThrowingOrEmptyFunctorLeavesWorkerRunning)
{
    const std::function<void()> failures[] = {
        [] { throw std::runtime_error("run failed"); },
        [] { std::function<void()>()(); },
    };
    for (const auto& fail : failures) {
        Runs runs;
        runs.fHoldFirst = false;
        vork::ThreadTask<> task([&] {
            runs.runOnce();
            fail();
        });
        task.start();
        task.signal();
        runs.waitUntilFinished(1);
        task.signal();
        runs.waitUntilFinished(2);
        task.stop();
        EXPECT_EQ(runs.started(), 2);
    }
}

TEST(ThreadTask, WorkerThreadIsKnownWhileItRuns)
{
    pthread_t inside{};
    pthread_t reported{};
    bool onWorker = false;
    Runs runs;
    runs.fHoldFirst = false;
    vork::ThreadTask<>* self = nullptr;
    vork::ThreadTask<> task([&] {
        inside = pthread_self();
        reported = self->workerThread();
        onWorker = self->onWorkerThread();
        runs.runOnce();
    });
    self = &task;
    task.start();
    task.signal();
    runs.waitUntilFinished(1);
    EXPECT_TRUE(pthread_equal(inside, reported));
    EXPECT_TRUE(onWorker);
    EXPECT_FALSE(task.onWorkerThread());
    task.stop();
    EXPECT_TRUE(pthread_equal(task.workerThread(), pthread_t{}));
}

} // namespace
