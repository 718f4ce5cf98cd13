#include "VorkDeadline.h"

#include <RunLoopDispatcher.h>
#include <WrappedLambda.h>

#include <CoreFoundation/CFDate.h>
#include <CoreFoundationTesting/RunLoop.h>
#include <DarwinTesting/ManualClock.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// The test thread owns the dispatcher and runs its loop on the manual clock.
template <typename Msg>
class RunLoopDispatcher : public testing::Test
{
protected:
    using Dispatcher = vork::RunLoopDispatcher<Msg, 100>;

    void advance(std::chrono::nanoseconds by) { CoreFoundationTesting::advanceAndRun(fClock, by); }

    // Serves the loop, one wake delay at a time, until `done` holds.
    template <typename Predicate>
    void serveUntil(Predicate done)
    {
        ASSERT_TRUE(VorkTesting::eventually([&] {
            advance(100us);
            return done();
        }));
    }

    // Posts from `threads` foreign threads while the loop is not served; returns once all of them
    // are blocked or finished.
    std::vector<std::thread> postFrom(int threads, int postsEach, std::vector<std::vector<int>>& ran)
    {
        ran.assign(threads, {});
        std::vector<std::thread> posters;
        for (int thread = 0; thread < threads; ++thread) {
            posters.emplace_back([this, thread, postsEach, &ran] {
                for (int i = 0; i < postsEach; ++i) {
                    fDispatcher->post([&ran, thread, i] { ran[thread].push_back(i); });
                    ++fPosted;
                }
            });
        }
        return posters;
    }

    void waitForBlockedWriter()
    {
        ASSERT_TRUE(VorkTesting::eventually([&] { return fDispatcher->writersWaiting(); }));
    }

    DarwinTesting::ManualClock fClock;
    std::atomic<int> fPosted{0};
    std::unique_ptr<Dispatcher> fDispatcher =
        std::make_unique<Dispatcher>([](const Msg& message) { message(); });
};

using MessageTypes = testing::Types<std::function<void()>, vork::wrapped_lambda<void(), 128, 8>>;
TYPED_TEST_SUITE(RunLoopDispatcher, MessageTypes);

TYPED_TEST(RunLoopDispatcher, ForeignPosterWaitsOnFullQueueAndAllRunInOrder)
{
    std::vector<std::vector<int>> ran;
    auto posters = this->postFrom(1, 150, ran);
    this->waitForBlockedWriter();
    EXPECT_EQ(this->fPosted, 100);
    this->serveUntil([&] { return ran[0].size() == 150; });
    posters[0].join();
    for (int i = 0; i < 150; ++i) {
        EXPECT_EQ(ran[0][i], i);
    }
}

TYPED_TEST(RunLoopDispatcher, ThreeForeignPostersKeepTheirOrder)
{
    std::vector<std::vector<int>> ran;
    auto posters = this->postFrom(3, 80, ran);
    this->waitForBlockedWriter();
    this->serveUntil([&] { return ran[0].size() + ran[1].size() + ran[2].size() == 240; });
    for (auto& poster : posters) {
        poster.join();
    }
    for (auto& fromOnePoster : ran) {
        ASSERT_EQ(fromOnePoster.size(), 80u);
        for (int i = 0; i < 80; ++i) {
            EXPECT_EQ(fromOnePoster[i], i);
        }
    }
}

TYPED_TEST(RunLoopDispatcher, OwnPostIntoFullQueueDrainsInline)
{
    std::vector<int> ran;
    for (int i = 0; i < 100; ++i) {
        this->fDispatcher->post([&ran, i] { ran.push_back(i); });
    }
    EXPECT_TRUE(ran.empty());
    this->fDispatcher->post([&ran] { ran.push_back(100); });
    EXPECT_EQ(ran.size(), 100u);
    this->advance(100us);
    ASSERT_EQ(ran.size(), 101u);
    EXPECT_EQ(ran.back(), 100);
}

TYPED_TEST(RunLoopDispatcher, TryPostRefusedWhileWritersWaitOrStopped)
{
    std::vector<int> refused;
    for (int i = 0; i < 100; ++i) {
        this->fDispatcher->post([&] {
            // The pass has taken this message, so the queue has room, but the writer below is still
            // blocked: it is released at the end of the pass.
            if (refused.empty()) {
                refused.push_back(this->fDispatcher->tryPost([] {}) ? 0 : 1);
            }
        });
    }
    std::vector<std::vector<int>> ran;
    auto posters = this->postFrom(1, 1, ran);
    this->waitForBlockedWriter();
    this->serveUntil([&] { return ran[0].size() == 1; });
    posters[0].join();
    EXPECT_EQ(refused, std::vector<int>{1});

    EXPECT_TRUE(this->fDispatcher->tryPost([] {}));
    this->fDispatcher->stop();
    EXPECT_FALSE(this->fDispatcher->tryPost([] {}));
}

TYPED_TEST(RunLoopDispatcher, PostSyncOnOwnThreadRunsAtOnce)
{
    int runs = 0;
    this->fDispatcher->postSync([&] { ++runs; });
    EXPECT_EQ(runs, 1);
    this->advance(1ms);
    EXPECT_EQ(runs, 1);
}

TYPED_TEST(RunLoopDispatcher, PostSyncFromForeignThreadReturnsAfterRun)
{
    std::thread::id ranOn;
    std::atomic<bool> returned{false};
    std::thread poster([&] {
        this->fDispatcher->postSync([&] { ranOn = std::this_thread::get_id(); });
        returned = true;
    });
    this->serveUntil([&] { return returned.load(); });
    poster.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TYPED_TEST(RunLoopDispatcher, PostSyncPassesExceptionToPoster)
{
    std::atomic<bool> returned{false};
    bool caught = false;
    std::thread poster([&] {
        try {
            this->fDispatcher->postSync([] { throw std::runtime_error("failed"); });
        } catch (const std::runtime_error&) {
            caught = true;
        }
        returned = true;
    });
    this->serveUntil([&] { return returned.load(); });
    poster.join();
    EXPECT_TRUE(caught);
}

TYPED_TEST(RunLoopDispatcher, ForeignPostRunsAfterWakeDelay)
{
    int runs = 0;
    std::thread([&] { this->fDispatcher->post([&] { ++runs; }); }).join();
    CoreFoundationTesting::runUntilIdle();
    this->advance(99us);
    EXPECT_EQ(runs, 0);
    this->advance(1us);
    EXPECT_EQ(runs, 1);
}

TYPED_TEST(RunLoopDispatcher, OnePassHandlesAtMostTenOrThoseWaiting)
{
    int children = 0;
    this->fDispatcher->post([&] {
        for (int i = 0; i < 20; ++i) {
            this->fDispatcher->post([&] { ++children; });
        }
    });
    this->advance(100us);
    EXPECT_EQ(children, 9);
    this->advance(100us);
    EXPECT_EQ(children, 20);
}

TYPED_TEST(RunLoopDispatcher, NextPassComesOneWakeDelayAfterALongPassEnds)
{
    const CFAbsoluteTime start = CFAbsoluteTimeGetCurrent();
    std::vector<long> ranAt;
    auto record = [&] { ranAt.push_back(std::lround((CFAbsoluteTimeGetCurrent() - start) * 1e6)); };
    // A pass of ten messages, the first of which takes 3 ms; the tenth of the children it posts is
    // left for the next pass.
    this->fDispatcher->post([&] {
        for (int i = 0; i < 10; ++i) {
            this->fDispatcher->post(record);
        }
        this->fClock.advance(3ms);
    });
    this->advance(100us);
    ASSERT_EQ(ranAt.size(), 9u);
    EXPECT_EQ(ranAt.back(), 3100);
    this->advance(1ms);
    ASSERT_EQ(ranAt.size(), 10u);
    EXPECT_EQ(ranAt.back(), 3200);
}

TYPED_TEST(RunLoopDispatcher, ThrowingMessageIsDiscarded)
{
    int runs = 0;
    this->fDispatcher->post([] { throw std::runtime_error("failed"); });
    this->fDispatcher->post([&] { ++runs; });
    this->advance(100us);
    EXPECT_EQ(runs, 1);
}

TYPED_TEST(RunLoopDispatcher, StoppedDispatcherTakesNothing)
{
    using Timer = typename TestFixture::Dispatcher::Timer;
    auto capture = std::make_shared<int>(0);
    auto timer = std::make_shared<Timer>(Timer{[capture] {}, 10ms, true});
    this->fDispatcher->stop();
    this->fDispatcher->post([capture] {});
    this->fDispatcher->postSync([capture] {});
    this->fDispatcher->startTimer(timer);
    this->fDispatcher->stopTimer(timer);
    std::thread([&] {
        this->fDispatcher->post([capture] {});
        this->fDispatcher->postSync([capture] {});
        this->fDispatcher->startTimer(timer);
        this->fDispatcher->stopTimer(timer);
    }).join();
    EXPECT_EQ(capture.use_count(), 2);
}

TYPED_TEST(RunLoopDispatcher, StopReleasesBlockedPoster)
{
    std::vector<std::vector<int>> ran;
    auto posters = this->postFrom(1, 101, ran);
    this->waitForBlockedWriter();
    this->fDispatcher->stop();
    posters[0].join();
    EXPECT_EQ(this->fPosted, 101);
    EXPECT_TRUE(ran[0].empty());
}

} // namespace
