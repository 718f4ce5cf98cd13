#include "RunLoopTestThread.h"

#include <CoreFoundation/CFRunLoop.h>
#include <CoreFoundation/CFString.h>
#include <DarwinTesting/Eventually.h>

#include <gtest/gtest.h>

using RunLoopTesting::CountingSource;
using RunLoopTesting::LoopThread;

namespace {

TEST(RunLoopSources, RemoveFromAnotherThreadCancelsOnceThereBeforeReturning)
{
    CountingSource source;
    LoopThread thread(
        [&] { CFRunLoopAddSource(CFRunLoopGetCurrent(), source.get(), kCFRunLoopDefaultMode); });

    CFRunLoopRemoveSource(thread.loop(), source.get(), kCFRunLoopDefaultMode);

    auto cancelled = source.cancelled();
    ASSERT_EQ(cancelled.size(), 1u);
    EXPECT_EQ(cancelled[0].fLoop, thread.loop());
    EXPECT_TRUE(CFEqual(cancelled[0].fMode, kCFRunLoopDefaultMode));
    EXPECT_EQ(cancelled[0].fThread, std::this_thread::get_id());
    EXPECT_FALSE(CFRunLoopContainsSource(thread.loop(), source.get(), kCFRunLoopDefaultMode));
}

TEST(RunLoopSources, InvalidateCancelsInEveryLoopAndMode)
{
    CFRunLoopMode other = CFSTR("RunLoopSourcesOtherMode");
    CountingSource source;
    LoopThread thread(
        [&] { CFRunLoopAddSource(CFRunLoopGetCurrent(), source.get(), kCFRunLoopDefaultMode); });
    CFRunLoopRef here = CFRunLoopGetCurrent();
    CFRunLoopAddSource(here, source.get(), kCFRunLoopDefaultMode);
    CFRunLoopAddSource(here, source.get(), other);

    CFRunLoopSourceInvalidate(source.get());

    EXPECT_FALSE(CFRunLoopSourceIsValid(source.get()));
    auto cancelled = source.cancelled();
    ASSERT_EQ(cancelled.size(), 3u);
    int inThread = 0;
    int inOther = 0;
    for (const auto& call : cancelled) {
        inThread += call.fLoop == thread.loop();
        inOther += CFEqual(call.fMode, other);
        EXPECT_EQ(call.fThread, std::this_thread::get_id());
    }
    EXPECT_EQ(inThread, 1);
    EXPECT_EQ(inOther, 1);
    EXPECT_FALSE(CFRunLoopContainsSource(here, source.get(), other));
    EXPECT_FALSE(CFRunLoopContainsSource(thread.loop(), source.get(), kCFRunLoopDefaultMode));
}

struct CancelCase
{
    const char* fName;
    void (*fCancel)(CFRunLoopSourceRef source);
};

class RunLoopSourceSignalAfterCancel : public testing::TestWithParam<CancelCase>
{};

TEST_P(RunLoopSourceSignalAfterCancel, PerformsNothing)
{
    CountingSource source;
    CountingSource keepOpen;
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CFRunLoopAddSource(loop, keepOpen.get(), kCFRunLoopDefaultMode);
    CFRunLoopAddSource(loop, source.get(), kCFRunLoopDefaultMode);

    GetParam().fCancel(source.get());
    source.signal();
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);

    EXPECT_EQ(source.fPerforms.load(), 0);
    EXPECT_EQ(source.cancelled().size(), 1u);
    CFRunLoopRemoveSource(loop, keepOpen.get(), kCFRunLoopDefaultMode);
}

INSTANTIATE_TEST_SUITE_P(RunLoopSources, RunLoopSourceSignalAfterCancel,
                         testing::Values(CancelCase{"Removed",
                                                    [](CFRunLoopSourceRef source) {
                                                        CFRunLoopRemoveSource(CFRunLoopGetCurrent(), source,
                                                                              kCFRunLoopDefaultMode);
                                                    }},
                                         CancelCase{"Invalidated", CFRunLoopSourceInvalidate}),
                         [](const auto& info) { return std::string(info.param.fName); });

// One source in two running loops, signalled from a third thread while the test thread adds it to
// and removes it from another mode of the first loop, then invalidates it: every schedule is
// matched by one cancel.
TEST(RunLoopSources, StressSharedSourceChangingModesWhileBothLoopsServeIt)
{
    constexpr int kRounds = 2000;
    CFRunLoopMode extra = CFSTR("RunLoopSourcesExtraMode");
    CountingSource source;
    LoopThread first([&] { CFRunLoopAddSource(CFRunLoopGetCurrent(), source.get(), kCFRunLoopDefaultMode); });
    LoopThread second(
        [&] { CFRunLoopAddSource(CFRunLoopGetCurrent(), source.get(), kCFRunLoopDefaultMode); });
    std::atomic<bool> done{false};
    std::thread signaller([&] {
        while (!done.load()) {
            source.signal();
            CFRunLoopWakeUp(first.loop());
            CFRunLoopWakeUp(second.loop());
        }
    });
    for (int round = 0; round < kRounds; ++round) {
        CFRunLoopAddSource(first.loop(), source.get(), extra);
        CFRunLoopRemoveSource(first.loop(), source.get(), extra);
    }
    CFRunLoopSourceInvalidate(source.get());
    done = true;
    signaller.join();

    EXPECT_EQ(source.scheduled().size(), size_t(2 + kRounds));
    EXPECT_EQ(source.cancelled().size(), source.scheduled().size());
}

// The thread of the only loop holding the source ends while another thread invalidates the
// source: the cancel comes once, from whichever of the two gets there.
TEST(RunLoopSources, StressInvalidateRacingTheEndOfTheLoopsThreadCancelsOnce)
{
    for (int round = 0; round < 200; ++round) {
        CountingSource source;
        std::atomic<bool> added{false};
        std::thread thread([&] {
            CFRunLoopAddSource(CFRunLoopGetCurrent(), source.get(), kCFRunLoopDefaultMode);
            added = true;
        });
        ASSERT_TRUE(DarwinTesting::eventually([&] { return added.load(); }));
        CFRunLoopSourceInvalidate(source.get());
        thread.join();
        ASSERT_EQ(source.cancelled().size(), 1u) << "round " << round;
    }
}

TEST(RunLoopSources, ScheduleIsCalledOnAddingOncePerMode)
{
    CountingSource source;
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CFRunLoopAddSource(loop, source.get(), kCFRunLoopDefaultMode);
    CFRunLoopAddSource(loop, source.get(), kCFRunLoopDefaultMode);

    auto scheduled = source.scheduled();
    ASSERT_EQ(scheduled.size(), 1u);
    EXPECT_EQ(scheduled[0].fLoop, loop);
    EXPECT_TRUE(CFEqual(scheduled[0].fMode, kCFRunLoopDefaultMode));
    EXPECT_TRUE(CFRunLoopContainsSource(loop, source.get(), kCFRunLoopDefaultMode));
    CFRunLoopRemoveSource(loop, source.get(), kCFRunLoopDefaultMode);
}

TEST(RunLoopSources, CommonModesSourceRunsInEveryCommonModeOnly)
{
    CFRunLoopMode added = CFSTR("RunLoopSourcesAddedCommonMode");
    CFRunLoopMode privateMode = CFSTR("RunLoopSourcesPrivateMode");
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CountingSource common;
    CountingSource privateKeepOpen;
    CFRunLoopAddSource(loop, common.get(), kCFRunLoopCommonModes);
    CFRunLoopAddSource(loop, privateKeepOpen.get(), privateMode);
    common.signal();

    CFRunLoopRunInMode(privateMode, 0, false);
    EXPECT_EQ(common.fPerforms.load(), 0);
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
    EXPECT_EQ(common.fPerforms.load(), 1);

    CFRunLoopAddCommonMode(loop, added);
    EXPECT_TRUE(CFRunLoopContainsSource(loop, common.get(), added));
    common.signal();
    CFRunLoopRunInMode(added, 0, false);
    EXPECT_EQ(common.fPerforms.load(), 2);
    EXPECT_EQ(common.scheduled().size(), 2u);

    CFRunLoopRemoveSource(loop, common.get(), kCFRunLoopCommonModes);
    EXPECT_FALSE(CFRunLoopContainsSource(loop, common.get(), kCFRunLoopDefaultMode));
    EXPECT_FALSE(CFRunLoopContainsSource(loop, common.get(), added));
    EXPECT_EQ(common.cancelled().size(), 2u);
    CFRunLoopRemoveSource(loop, privateKeepOpen.get(), privateMode);
}

TEST(RunLoopSources, SeveralSignalsBeforeAPassGiveOnePerform)
{
    CountingSource source;
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CFRunLoopAddSource(loop, source.get(), kCFRunLoopDefaultMode);
    source.signal();
    source.signal();
    source.signal();

    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);

    EXPECT_EQ(source.fPerforms.load(), 1);
    CFRunLoopRemoveSource(loop, source.get(), kCFRunLoopDefaultMode);
}

TEST(RunLoopSources, SignalledSourcesPerformByOrderThenAddition)
{
    std::vector<int> performed;
    CountingSource late(2, [&] { performed.push_back(2); });
    CountingSource first(1, [&] { performed.push_back(0); });
    CountingSource second(1, [&] { performed.push_back(1); });
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    for (CountingSource* source : {&late, &first, &second}) {
        CFRunLoopAddSource(loop, source->get(), kCFRunLoopDefaultMode);
        source->signal();
    }

    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);

    EXPECT_EQ(performed, (std::vector<int>{0, 1, 2}));
    for (CountingSource* source : {&late, &first, &second}) {
        CFRunLoopRemoveSource(loop, source->get(), kCFRunLoopDefaultMode);
    }
}

TEST(RunLoopSources, ContextRetainAndReleaseBalance)
{
    struct Counts
    {
        int fRetains = 0;
        int fReleases = 0;
        int fPerforms = 0;
    } counts;
    CFRunLoopSourceContext context{};
    context.info = &counts;
    context.retain = [](const void* info) -> const void* {
        ++static_cast<Counts*>(const_cast<void*>(info))->fRetains;
        return info;
    };
    context.release = [](const void* info) { ++static_cast<Counts*>(const_cast<void*>(info))->fReleases; };
    context.perform = [](void* info) { ++static_cast<Counts*>(info)->fPerforms; };
    CFRunLoopSourceRef source = CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context);
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CFRunLoopAddSource(loop, source, kCFRunLoopCommonModes);
    CFRunLoopAddSource(loop, source, kCFRunLoopDefaultMode);
    CFRunLoopSourceSignal(source);
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
    CFRunLoopRemoveSource(loop, source, kCFRunLoopCommonModes);
    EXPECT_EQ(counts.fPerforms, 1);
    EXPECT_EQ(counts.fRetains, 1);
    EXPECT_EQ(counts.fReleases, 0);

    CFRelease(source);

    EXPECT_EQ(counts.fReleases, 1);
}

} // namespace
