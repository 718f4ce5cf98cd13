#include <RunLoop.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

namespace {

TEST(RunLoop, InitRunsOnItsThreadBeforeTheConstructorReturns)
{
    std::thread::id initThread;
    CFRunLoopRef initLoop = nullptr;
    vork::RunLoop loop([&] {
        initThread = std::this_thread::get_id();
        initLoop = CFRunLoopGetCurrent();
    });
    EXPECT_NE(initThread, std::thread::id());
    EXPECT_NE(initThread, std::this_thread::get_id());
    EXPECT_EQ(initLoop, loop.runLoop());

    std::thread::id postedThread;
    loop.dispatcher().postSync([&] { postedThread = std::this_thread::get_id(); });
    EXPECT_EQ(postedThread, initThread);
}

TEST(RunLoop, StopStraightAfterConstructionReturns)
{
    for (int i = 0; i < 1000; ++i) {
        vork::RunLoop loop([] {});
        loop.stop();
        loop.stop();
    }
}

TEST(RunLoop, LoopStoppedByItsOwnWorkRunsOnUntilStop)
{
    vork::RunLoop loop([] {});
    loop.dispatcher().postSync([] { CFRunLoopStop(CFRunLoopGetCurrent()); });
    int runs = 0;
    loop.dispatcher().postSync([&] { ++runs; });
    EXPECT_EQ(runs, 1);
}

TEST(RunLoop, InitThatThrowsMakesTheConstructorThrow)
{
    EXPECT_THROW(vork::RunLoop([] { throw std::runtime_error("init failed"); }), std::runtime_error);
}

} // namespace
