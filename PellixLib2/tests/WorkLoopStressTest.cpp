// Many threads against one running work-loop thread, which is then stopped with tasks pending.

#include "WorkLoopTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

using WorkLoopTesting::RunOnLoop;

namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 300;

struct Counts
{
    std::atomic<int> fItemRuns{0};
    std::atomic<int> fAsyncRuns{0};
    std::atomic<int> fOffLoopThread{0};
    std::atomic<bool> fLoopGone{false};
    std::atomic<int> fRunsAfterEnd{0};
    std::thread::id fLoopThread;
};

bool CountRun(WorkLoopItem*, void* userData)
{
    auto* counts = static_cast<Counts*>(userData);
    counts->fItemRuns.fetch_add(1);
    if (counts->fLoopGone.load()) {
        counts->fRunsAfterEnd.fetch_add(1);
    }
    return true;
}

TEST(WorkLoopStress, ManyThreadsAddRemoveAndPostWhileTheLoopRuns)
{
    Counts counts;
    auto thread = std::make_unique<WorkLoopThread2>();
    thread->Start();
    WorkLoop& loop = *thread->fWorkLoop;
    RunOnLoop(loop, [&] { counts.fLoopThread = std::this_thread::get_id(); });

    std::vector<std::thread> callers;
    for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([&, t] {
            WorkLoopTimer timer;
            WorkItem item;
            timer.Init(CountRun, &counts);
            item.Init(&loop, CountRun, &counts);
            for (int i = 0; i < kRounds; ++i) {
                switch ((i + t) % 6) {
                case 0:
                    loop.AddTimer(&timer, unsigned(i % 3), i % 2 == 0);
                    break;
                case 1:
                    loop.AddWorkItem(&item);
                    break;
                case 2:
                    loop.RemoveItem(i % 4 == 2 ? static_cast<WorkLoopItem*>(&timer) : &item);
                    break;
                case 3: {
                    bool ran = false;
                    loop.runTaskSync([&] {
                        ran = true;
                        if (std::this_thread::get_id() != counts.fLoopThread) {
                            counts.fOffLoopThread.fetch_add(1);
                        }
                    });
                    EXPECT_TRUE(ran);
                    break;
                }
                case 4:
                    EXPECT_THROW(loop.runTaskSync([] { throw std::runtime_error("task failed"); }),
                                 std::runtime_error);
                    break;
                default:
                    loop.runTaskAsync([&] {
                        counts.fAsyncRuns.fetch_add(1);
                        if (std::this_thread::get_id() != counts.fLoopThread) {
                            counts.fOffLoopThread.fetch_add(1);
                        }
                    });
                    break;
                }
            }
            loop.RemoveItem(&timer);
            loop.RemoveItem(&item);
            timer.WaitForRunToComplete();
            item.WaitForRunToComplete();
        });
    }
    for (std::thread& caller : callers) {
        caller.join();
    }

    // Stopped with tasks still pending: they are dropped, never run.
    for (int i = 0; i < 100; ++i) {
        loop.runTaskAsync([&] {
            if (counts.fLoopGone.load()) {
                counts.fRunsAfterEnd.fetch_add(1);
            }
        });
    }
    thread.reset();
    counts.fLoopGone.store(true);

    EXPECT_EQ(counts.fOffLoopThread.load(), 0);
    EXPECT_EQ(counts.fRunsAfterEnd.load(), 0);
    EXPECT_GT(counts.fItemRuns.load(), 0);
    EXPECT_GT(counts.fAsyncRuns.load(), 0);
}

} // namespace
