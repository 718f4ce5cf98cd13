#include "RunLoopTestThread.h"

#include <CoreFoundation/CFRunLoop.h>
#include <CoreFoundation/CFString.h>

#include <gtest/gtest.h>

#include <cfloat>
#include <memory>
#include <set>

using RunLoopTesting::CountingSource;
using RunLoopTesting::LoopThread;
using RunLoopTesting::Signal;

namespace {

TEST(RunLoopBlocks, RunFirstInFirstOut)
{
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CountingSource keepOpen;
    CFRunLoopAddSource(loop, keepOpen.get(), kCFRunLoopDefaultMode);
    std::vector<int> ran;
    for (int index = 0; index < 5; ++index) {
        CFRunLoopPerformBlock(loop, kCFRunLoopDefaultMode, [&ran, index] { ran.push_back(index); });
    }

    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);

    EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3, 4}));
    CFRunLoopRemoveSource(loop, keepOpen.get(), kCFRunLoopDefaultMode);
}

TEST(RunLoopBlocks, RunOnlyInAMatchingMode)
{
    CFRunLoopMode privateMode = CFSTR("RunLoopBlocksPrivateMode");
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CountingSource keepOpen;
    CFRunLoopAddSource(loop, keepOpen.get(), kCFRunLoopDefaultMode);
    CFRunLoopAddSource(loop, keepOpen.get(), privateMode);
    std::vector<std::string> ran;
    CFRunLoopPerformBlock(loop, privateMode, [&] { ran.push_back("private"); });
    CFRunLoopPerformBlock(loop, kCFRunLoopDefaultMode, [&] { ran.push_back("default"); });
    CFRunLoopPerformBlock(loop, kCFRunLoopCommonModes, [&] { ran.push_back("common"); });

    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
    EXPECT_EQ(ran, (std::vector<std::string>{"default", "common"}));

    CFRunLoopRunInMode(privateMode, 0, false);
    EXPECT_EQ(ran, (std::vector<std::string>{"default", "common", "private"}));
    CFRunLoopRemoveSource(loop, keepOpen.get(), kCFRunLoopDefaultMode);
    CFRunLoopRemoveSource(loop, keepOpen.get(), privateMode);
}

TEST(RunLoopBlocks, RunAfterAWakeUpOnASleepingLoop)
{
    LoopThread thread;
    RunLoopTesting::waitUntilSleeping(thread.loop());
    std::atomic<std::thread::id> ranOn{};
    Signal ran;

    CFRunLoopPerformBlock(thread.loop(), kCFRunLoopDefaultMode, [&] {
        ranOn.store(std::this_thread::get_id());
        ran.notify();
    });
    CFRunLoopWakeUp(thread.loop());

    ran.waitUntil([&] { return ranOn.load() != std::thread::id(); });
    EXPECT_EQ(ranOn.load(), thread.id());
}

TEST(RunLoopBlocks, BlocksForTheLoopOfAnEndedThreadAreDestroyedUnrun)
{
    auto guard = std::make_shared<int>(0);
    std::atomic<bool> ran{false};
    CFRunLoopRef loop = nullptr;
    std::thread([&] {
        loop = CFRunLoopGetCurrent();
        CFRetain(loop);
        CFRunLoopPerformBlock(loop, kCFRunLoopDefaultMode, [guard, &ran] { ran = true; });
    }).join();
    EXPECT_EQ(guard.use_count(), 1);

    CFRunLoopPerformBlock(loop, kCFRunLoopDefaultMode, [guard, &ran] { ran = true; });
    EXPECT_EQ(guard.use_count(), 1);
    EXPECT_FALSE(ran.load());
    CFRelease(loop);
}

TEST(RunLoopBlocks, LoopOutlivingItsThreadKeepsItsItemsUntilRemovedAndRunsNothing)
{
    CountingSource removed;
    CountingSource leftOver;
    int fired = 0;
    CFRunLoopTimerContext context{};
    context.info = &fired;
    CFRunLoopTimerRef timer = CFRunLoopTimerCreate(
        kCFAllocatorDefault, 0.0, 0, 0, 0, [](CFRunLoopTimerRef, void* info) { ++*static_cast<int*>(info); },
        &context);
    CFRunLoopRef loop = nullptr;
    std::thread([&] {
        loop = CFRunLoopGetCurrent();
        CFRetain(loop);
        CFRunLoopAddSource(loop, removed.get(), kCFRunLoopDefaultMode);
        CFRunLoopAddSource(loop, leftOver.get(), kCFRunLoopDefaultMode);
        CFRunLoopAddTimer(loop, timer, kCFRunLoopDefaultMode);
    }).join();

    EXPECT_TRUE(CFRunLoopContainsSource(loop, removed.get(), kCFRunLoopDefaultMode));
    EXPECT_TRUE(CFRunLoopContainsTimer(loop, timer, kCFRunLoopDefaultMode));
    removed.signal();
    CFRunLoopStop(loop);
    CFRunLoopWakeUp(loop);
    CFRunLoopRemoveSource(loop, removed.get(), kCFRunLoopDefaultMode);
    ASSERT_EQ(removed.cancelled().size(), 1u);
    EXPECT_EQ(removed.cancelled()[0].fThread, std::this_thread::get_id());

    // The last reference removes the rest: the source is cancelled, the timer invalidated.
    CFRelease(loop);
    EXPECT_EQ(leftOver.cancelled().size(), 1u);
    EXPECT_FALSE(CFRunLoopTimerIsValid(timer));
    EXPECT_EQ(removed.fPerforms.load(), 0);
    EXPECT_EQ(fired, 0);
    CFRelease(timer);
}

TEST(RunLoopIdentity, EachNewThreadGetsAFreshLoopWhateverPthreadItReuses)
{
    constexpr int kThreads = 200;
    std::vector<CFRunLoopRef> loops;
    CountingSource left;
    for (int index = 0; index < kThreads; ++index) {
        std::thread([&] {
            CFRunLoopRef loop = CFRunLoopGetCurrent();
            EXPECT_FALSE(CFRunLoopContainsSource(loop, left.get(), kCFRunLoopDefaultMode));
            EXPECT_EQ(loop, CFRunLoopGetCurrent());
            // Left in the loop on purpose: a loop handed to the next thread would still hold it.
            CFRunLoopAddSource(loop, left.get(), kCFRunLoopDefaultMode);
            loops.push_back(static_cast<CFRunLoopRef>(const_cast<void*>(CFRetain(loop))));
        }).join();
    }

    EXPECT_EQ(std::set<CFRunLoopRef>(loops.begin(), loops.end()).size(), size_t(kThreads));
    for (CFRunLoopRef loop : loops) {
        EXPECT_NE(loop, CFRunLoopGetMain());
        CFRelease(loop);
    }
}

TEST(RunLoopIdentity, MainLoopIsTheInitialThreadsFromAnyThread)
{
    CFRunLoopRef main = CFRunLoopGetMain();
    EXPECT_EQ(CFRunLoopGetCurrent(), main);
    CFRunLoopRef seenMain = nullptr;
    CFRunLoopRef seenCurrent = nullptr;
    std::thread([&] {
        seenMain = CFRunLoopGetMain();
        seenCurrent = CFRunLoopGetCurrent();
    }).join();
    EXPECT_EQ(seenMain, main);
    EXPECT_NE(seenCurrent, main);
}

} // namespace
