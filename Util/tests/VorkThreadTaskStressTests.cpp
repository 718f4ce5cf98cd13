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
    // `issued` counts signals about to be sent, `sent` those whose signal() has returned.
    std::atomic<long> issued{0};
    std::atomic<long> sent{0};
    std::atomic<long> runs{0};
    std::atomic<bool> outnumbered{false};
    std::mutex mutex;
    std::condition_variable ranAfterLastSignal;
    bool sawAllSignals = false;

    vork::ThreadTask<> task([&] {
        const long runNumber = ++runs;
        const long sentBefore = sent.load();
        if (runNumber > issued.load()) {
            outnumbered = true;
        }
        if (sentBefore == kSignals) {
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
                ++sent;
            }
        });
    }
    for (auto& signaller : signallers) {
        signaller.join();
    }
    {
        std::unique_lock lock(mutex);
        ranAfterLastSignal.wait(lock, [&] { return sawAllSignals; });
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
    while (runs < 1000) {
        std::this_thread::yield();
    }
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
