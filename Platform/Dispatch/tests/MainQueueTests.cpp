#include <CoreFoundation/CoreFoundation.h>
#include <CoreFoundationTesting/RunLoop.h>
#include <DarwinTesting/Eventually.h>
#include <DarwinTesting/ManualClock.h>
#include <DispatchTesting/DispatchMain.h>
#include <dispatch/dispatch.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

// What main-queue blocks saw: the thread they ran on, in order. Touched on the main thread only.
struct MainRuns
{
    std::vector<std::thread::id> threads;

    void postFromAnotherThread()
    {
        std::thread([this] {
            dispatch_async(dispatch_get_main_queue(),
                           [this] { threads.push_back(std::this_thread::get_id()); });
        }).join();
    }
};

struct ModeCase
{
    const char* name;
    CFRunLoopMode mode;
    bool addAsCommonMode;
    bool servesMainQueue;
};

void PrintTo(const ModeCase& value, std::ostream* out)
{
    *out << value.name;
}

class MainQueueModeTest : public testing::TestWithParam<ModeCase>
{};

TEST_P(MainQueueModeTest, BlocksRunOnTheInitialThreadOnlyWhileItsLoopRunsInACommonMode)
{
    const ModeCase& mode = GetParam();
    CFRunLoopRef mainLoop = CFRunLoopGetMain();
    ASSERT_EQ(CFRunLoopGetCurrent(), mainLoop);
    if (mode.addAsCommonMode) {
        CFRunLoopAddCommonMode(mainLoop, mode.mode);
    }
    // A far timer keeps every mode non-empty, so each run below makes a pass.
    CFRunLoopTimerRef keeper = CFRunLoopTimerCreate(
        nullptr, CFAbsoluteTimeGetCurrent() + 1e9, 0, 0, 0, [](CFRunLoopTimerRef, void*) {}, nullptr);
    CFRunLoopAddTimer(mainLoop, keeper, mode.mode);
    MainRuns runs;
    runs.postFromAnotherThread();
    EXPECT_TRUE(runs.threads.empty());

    CFRunLoopRunInMode(mode.mode, 0, false);

    const std::vector<std::thread::id> onMain = {std::this_thread::get_id()};
    EXPECT_EQ(runs.threads, mode.servesMainQueue ? onMain : std::vector<std::thread::id>{});
    CFRunLoopTimerInvalidate(keeper);
    CFRelease(keeper);
    CoreFoundationTesting::runUntilIdle(kCFRunLoopDefaultMode);
    EXPECT_EQ(runs.threads, onMain);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, MainQueueModeTest,
    testing::Values(ModeCase{"Default", kCFRunLoopDefaultMode, false, true},
                    ModeCase{"AddedCommonMode", CFSTR("com.vork.tests.common"), true, true},
                    ModeCase{"PrivateMode", CFSTR("com.vork.tests.private"), false, false}),
    testing::PrintToStringParamName());

TEST(MainQueue, OnePassRunsTheBlocksPresentAtItsStartInOrder)
{
    std::vector<int> ran;
    dispatch_queue_t main = dispatch_get_main_queue();
    dispatch_async(main, [&ran, main] {
        ran.push_back(1);
        dispatch_async(main, [&ran] { ran.push_back(3); });
    });
    dispatch_async(main, [&ran] { ran.push_back(2); });

    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));

    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
}

TEST(MainQueue, TheInitialThreadRunsOnTheMainQueueInsideAndOutsideItsBlocks)
{
    const std::string mainLabel = dispatch_queue_get_label(dispatch_get_main_queue());
    std::string inBlock;
    dispatch_async(dispatch_get_main_queue(),
                   [&inBlock] { inBlock = dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL); });
    CoreFoundationTesting::runUntilIdle();

    EXPECT_EQ(dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL), mainLabel);
    EXPECT_EQ(inBlock, mainLabel);
}

TEST(MainQueue, SyncFromAnotherThreadWaitsForTheMainLoop)
{
    bool ran = false;
    bool returned = false;
    std::thread caller([&] {
        dispatch_sync(dispatch_get_main_queue(), [&ran] { ran = true; });
        dispatch_async(dispatch_get_main_queue(), [&returned] { returned = true; });
    });
    // Each look runs the main loop until it has handled a source, or for a moment.
    EXPECT_TRUE(DarwinTesting::eventually([&] {
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.1, true);
        return returned;
    }));
    caller.join();
    EXPECT_TRUE(ran);
}

// dispatch_after onto the main queue under the manual clock: the block waits for the main thread's
// loop, so an advance made on the main thread does not wait for it.
struct AdvanceCase
{
    const char* name;
    void (*advance)(DarwinTesting::ManualClock& clock, std::chrono::nanoseconds by);
};

void PrintTo(const AdvanceCase& value, std::ostream* out)
{
    *out << value.name;
}

class MainQueueAfterTest : public testing::TestWithParam<AdvanceCase>
{};

TEST_P(MainQueueAfterTest, RunsOnTheInitialThreadAtItsDeadline)
{
    DarwinTesting::ManualClock clock;
    const dispatch_time_t start = dispatch_time(DISPATCH_TIME_NOW, 0);
    dispatch_time_t ranAt = 0;
    std::thread::id ranOn;
    dispatch_after(dispatch_time(start, int64_t(2 * NSEC_PER_SEC)), dispatch_get_main_queue(), [&] {
        ranAt = dispatch_time(DISPATCH_TIME_NOW, 0);
        ranOn = std::this_thread::get_id();
    });

    GetParam().advance(clock, 2s - 1ns);
    EXPECT_EQ(ranAt, 0u);

    GetParam().advance(clock, 1ns);
    EXPECT_EQ(ranAt, start + 2 * NSEC_PER_SEC);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

INSTANTIATE_TEST_SUITE_P(Advances, MainQueueAfterTest,
                         testing::Values(AdvanceCase{"AdvanceAndRun", &CoreFoundationTesting::advanceAndRun},
                                         AdvanceCase{"AdvanceThenRunUntilIdle",
                                                     [](DarwinTesting::ManualClock& clock,
                                                        std::chrono::nanoseconds by) {
                                                         clock.advance(by);
                                                         CoreFoundationTesting::runUntilIdle();
                                                     }}),
                         testing::PrintToStringParamName());

struct EndCase
{
    const char* name;
    void (*requestEnd)(std::thread& helper);
};

void PrintTo(const EndCase& value, std::ostream* out)
{
    *out << value.name;
}

class DispatchMainTest : public testing::TestWithParam<EndCase>
{};

TEST_P(DispatchMainTest, ReturnsThroughEndDispatchMainAfterRunningTheBlocksBeforeIt)
{
    std::vector<int> ran;
    dispatch_async(dispatch_get_main_queue(), [&ran] { ran.push_back(1); });
    std::thread helper;
    GetParam().requestEnd(helper);

    dispatch_main();

    if (helper.joinable()) {
        helper.join();
    }
    EXPECT_EQ(ran, std::vector<int>{1});
}

INSTANTIATE_TEST_SUITE_P(Requests, DispatchMainTest,
                         testing::Values(EndCase{"FromAMainQueueBlock",
                                                 [](std::thread&) {
                                                     dispatch_async(dispatch_get_main_queue(), [] {
                                                         DispatchTesting::endDispatchMain();
                                                     });
                                                 }},
                                         EndCase{"FromAnotherThread",
                                                 [](std::thread& helper) {
                                                     helper = std::thread(
                                                         [] { DispatchTesting::endDispatchMain(); });
                                                 }}),
                         testing::PrintToStringParamName());

TEST(DispatchMainDeathTest, OffTheMainThreadEndsTheProcessNamingTheCall)
{
    EXPECT_DEATH(std::thread([] { dispatch_main(); }).join(), "dispatch_main: called off the main thread");
}

TEST(MainQueueDeathTest, SyncOntoTheMainQueueFromTheInitialThreadEndsTheProcess)
{
    EXPECT_DEATH(dispatch_sync(dispatch_get_main_queue(), [] {}), "dispatch_sync: called on queue \"main\"");
}

} // namespace
