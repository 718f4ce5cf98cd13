#include "VorkDeadline.h"

#include <ThreadTask.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int kSignallers = 8;
constexpr long kSignalsEach = 50000;
constexpr long kSignals = kSignallers * kSignalsEach;

TEST(ThreadTaskStress, RunsFollowSignalsAndNeverOutnumberThem)
{
    // Counts signals about to be sent: a run that starts after the last signal sees all of them.
    std::atomic<long> issued{0};
    std::atomic<long> runs{0};
    std::atomic<bool> outnumbered{false};
    std::mutex mutex;
    std::condition_variable ranAfterLastSignal;
    bool sawAllSignals = false;

    vork::ThreadTask<> task([&] {
        const long runNumber = ++runs;
        const long issuedBefore = issued.load();
        if (runNumber > issuedBefore) {
            outnumbered = true;
        }
        if (issuedBefore == kSignals) {
            std::lock_guard lock(mutex);
            sawAllSignals = true;
            ranAfterLastSignal.notify_all();
        }
    });
    task.start();

    std::vector<std::thread> signallers;
    for (int i = 0; i < kSignallers; ++i) {
        signallers.emplace_back([&] {
            for (long n = 0; n < kSignalsEach; ++n) {
                ++issued;
                task.signal();
            }
        });
    }
    for (auto& signaller : signallers) {
        signaller.join();
    }
    {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(
            ranAfterLastSignal.wait_until(lock, VorkTesting::eventDeadline(), [&] { return sawAllSignals; }));
    }
    task.stop();
    EXPECT_FALSE(outnumbered);
    EXPECT_LE(runs.load(), kSignals);
}

TEST(ThreadTaskStress, StopWhileSignalsArrive)
{
    std::atomic<long> runs{0};
    vork::ThreadTask<> task([&] { ++runs; });
    task.start();
    std::atomic<bool> done{false};
    std::vector<std::thread> signallers;
    for (int i = 0; i < 4; ++i) {
        signallers.emplace_back([&] {
            while (!done) {
                task.signal();
            }
        });
    }
    ASSERT_TRUE(VorkTesting::eventually([&] { return runs >= 1000; }));
    std::thread stopper([&] { task.stop(); });
    stopper.join();
    const long runsAtStop = runs;
    done = true;
    for (auto& signaller : signallers) {
        signaller.join();
    }
    EXPECT_EQ(runs.load(), runsAtStop);
    EXPECT_TRUE(pthread_equal(task.workerThread(), pthread_t{}));
}

} // namespace
