#include <KernelIOKitTesting/KernelIOKitTesting.h>

#include <IOKit/IOCommandGate.h>
#include <IOKit/IOWorkLoop.h>
#include <libkern/c++/OSString.h>

#include <Darwin/Clock.h>
#include <DarwinTesting/Eventually.h>
#include <DarwinTesting/ManualClock.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using DarwinTesting::eventually;

// Counts its passes and records where the last one ran; `fHook` runs inside each pass.
class KernelIOKitRecordingSource : public IOEventSource
{
    OSDeclareDefaultStructors(KernelIOKitRecordingSource)

        public : static KernelIOKitRecordingSource* make(OSObject* owner)
    {
        auto* source = new KernelIOKitRecordingSource;
        EXPECT_TRUE(source->init(owner));
        return source;
    }

    // Work is reported only after a signal, once.
    void signal()
    {
        fSignalled.store(true);
        signalWorkAvailable();
    }

    std::atomic<int> fPasses{0};
    std::atomic<bool> fOnLoopThread{false};
    std::atomic<bool> fInGate{false};
    std::atomic<bool> fSignalled{false};
    void (*fHook)(KernelIOKitRecordingSource*) = nullptr;

protected:
    bool checkForWork() override
    {
        if (!fSignalled.exchange(false)) {
            return false;
        }
        fOnLoopThread.store(getWorkLoop()->onThread());
        fInGate.store(getWorkLoop()->inGate());
        if (fHook) {
            fHook(this);
        }
        fPasses.fetch_add(1);
        return false;
    }
};

OSDefineMetaClassAndStructors(KernelIOKitRecordingSource, IOEventSource)

    class KernelIOKitWorkLoopTests : public testing::Test
{
protected:
    void SetUp() override
    {
        fLoops = KernelIOKitTesting::liveObjects("IOWorkLoop");
        fSources = KernelIOKitTesting::liveObjects("IOEventSource");
        fLoop = IOWorkLoop::workLoop();
        fOwner = OSString::withCString("owner");
        ASSERT_NE(fLoop, nullptr);
    }
    void TearDown() override
    {
        OSSafeReleaseNULL(fLoop);
        OSSafeReleaseNULL(fOwner);
        EXPECT_EQ(KernelIOKitTesting::liveObjects("IOWorkLoop"), fLoops);
        EXPECT_EQ(KernelIOKitTesting::liveObjects("IOEventSource"), fSources);
    }

    KernelIOKitRecordingSource* addSource()
    {
        KernelIOKitRecordingSource* source = KernelIOKitRecordingSource::make(fOwner);
        EXPECT_EQ(fLoop->addEventSource(source), kIOReturnSuccess);
        source->release();
        return source;
    }

    int32_t fLoops = 0;
    int32_t fSources = 0;
    IOWorkLoop* fLoop = nullptr;
    OSString* fOwner = nullptr;
};

TEST_F(KernelIOKitWorkLoopTests, SourcesRunOnTheLoopThreadWithTheGateClosed)
{
    KernelIOKitRecordingSource* source = addSource();
    EXPECT_FALSE(fLoop->onThread());
    source->signal();
    ASSERT_TRUE(eventually([&] { return source->fPasses.load() == 1; }));
    EXPECT_TRUE(source->fOnLoopThread.load());
    EXPECT_TRUE(source->fInGate.load());
}

TEST_F(KernelIOKitWorkLoopTests, ASignalDuringAPassLeadsToAnotherPass)
{
    KernelIOKitRecordingSource* source = addSource();
    source->fHook = [](KernelIOKitRecordingSource* self) {
        if (self->fPasses.load() == 0) {
            self->signal();
        }
    };
    source->signal();
    ASSERT_TRUE(eventually([&] { return source->fPasses.load() == 2; }));
}

TEST_F(KernelIOKitWorkLoopTests, SourcesWaitForTheGateAHolderKeepsClosed)
{
    static std::atomic<int> step{0};
    static std::atomic<int> seen{-1};
    step = 0;
    KernelIOKitRecordingSource* source = addSource();
    source->fHook = [](KernelIOKitRecordingSource*) { seen.store(step.load()); };
    fLoop->closeGate();
    step = 1;
    source->signal();
    step = 2;
    fLoop->openGate();
    ASSERT_TRUE(eventually([&] { return source->fPasses.load() == 1; }));
    EXPECT_EQ(seen.load(), 2);
}

TEST_F(KernelIOKitWorkLoopTests, RunActionRunsOnTheCallersThreadUnderARecursiveGate)
{
    struct Seen
    {
        std::thread::id thread;
        bool inGate = false;
        bool nestedInGate = false;
    } seen;
    const IOReturn result = fLoop->runAction(
        [](OSObject* target, void* arg0, void*, void*, void*) -> IOReturn {
            auto* loop = OSDynamicCast(IOWorkLoop, target);
            auto* record = static_cast<Seen*>(arg0);
            record->thread = std::this_thread::get_id();
            record->inGate = loop->inGate();
            loop->closeGate();
            record->nestedInGate = loop->inGate();
            loop->openGate();
            return kIOReturnAborted;
        },
        fLoop, &seen);
    EXPECT_EQ(result, kIOReturnAborted);
    EXPECT_EQ(seen.thread, std::this_thread::get_id());
    EXPECT_TRUE(seen.inGate);
    EXPECT_TRUE(seen.nestedInGate);
    EXPECT_FALSE(fLoop->inGate());
    EXPECT_EQ(fLoop->runAction(nullptr, fLoop), kIOReturnBadArgument);
}

TEST_F(KernelIOKitWorkLoopTests, TryCloseGateFailsWhileAnotherThreadHoldsIt)
{
    fLoop->closeGate();
    bool closedElsewhere = true;
    std::thread([&] { closedElsewhere = fLoop->tryCloseGate(); }).join();
    EXPECT_FALSE(closedElsewhere);
    EXPECT_TRUE(fLoop->tryCloseGate());
    fLoop->openGate();
    fLoop->openGate();
    std::thread([&] {
        closedElsewhere = fLoop->tryCloseGate();
        fLoop->openGate();
    }).join();
    EXPECT_TRUE(closedElsewhere);
}

TEST_F(KernelIOKitWorkLoopTests, ASourceRemovedWhileSignalledRunsNothingMore)
{
    KernelIOKitRecordingSource* removed = addSource();
    removed->retain();
    KernelIOKitRecordingSource* witness = addSource();
    fLoop->closeGate();
    removed->signal();
    EXPECT_EQ(fLoop->removeEventSource(removed), kIOReturnSuccess);
    witness->signal();
    fLoop->openGate();
    ASSERT_TRUE(eventually([&] { return witness->fPasses.load() == 1; }));
    EXPECT_EQ(removed->fPasses.load(), 0);
    EXPECT_EQ(removed->getWorkLoop(), nullptr);
    EXPECT_EQ(fLoop->removeEventSource(removed), kIOReturnBadArgument);
    removed->release();
}

TEST_F(KernelIOKitWorkLoopTests, FreeingTheLoopJoinsItsThread)
{
    static std::atomic<bool> threadEnded{false};
    threadEnded = false;
    KernelIOKitRecordingSource* source = addSource();
    source->fHook = [](KernelIOKitRecordingSource*) {
        struct EndMarker
        {
            ~EndMarker() { threadEnded.store(true); }
        };
        thread_local EndMarker marker;
        (void)marker;
    };
    source->signal();
    ASSERT_TRUE(eventually([&] { return source->fPasses.load() == 1; }));
    OSSafeReleaseNULL(fLoop);
    EXPECT_TRUE(threadEnded.load());
}

TEST_F(KernelIOKitWorkLoopTests, ACommandGateRunsItsActionsThroughTheLoopsGate)
{
    IOCommandGate* gate =
        IOCommandGate::commandGate(fOwner, [](OSObject* owner, void* arg0, void*, void*, void*) {
            *static_cast<OSObject**>(arg0) = owner;
            return kIOReturnSuccess;
        });
    ASSERT_NE(gate, nullptr);
    OSObject* seen = nullptr;
    EXPECT_EQ(gate->runCommand(&seen), kIOReturnNotReady);
    ASSERT_EQ(fLoop->addEventSource(gate), kIOReturnSuccess);
    EXPECT_EQ(gate->runCommand(&seen), kIOReturnSuccess);
    EXPECT_EQ(seen, fOwner);
    EXPECT_EQ(gate->runAction(nullptr), kIOReturnBadArgument);
    fLoop->removeEventSource(gate);
    gate->release();
}

// On the manual clock an advance returns only once the loops have run the work it handed on, here
// a pass that takes a while and hands work to a second loop.
TEST_F(KernelIOKitWorkLoopTests, AManualAdvanceWaitsForTheWorkItHandedToLoops)
{
    using namespace std::chrono_literals;
    IOWorkLoop* second = IOWorkLoop::workLoop();
    ASSERT_NE(second, nullptr);
    KernelIOKitRecordingSource* last = KernelIOKitRecordingSource::make(fOwner);
    ASSERT_EQ(second->addEventSource(last), kIOReturnSuccess);
    static KernelIOKitRecordingSource* sNext = nullptr;
    sNext = last;
    KernelIOKitRecordingSource* first = addSource();
    first->fHook = [](KernelIOKitRecordingSource*) {
        // Long enough work that an advance not waiting for it would return first.
        const auto until = std::chrono::steady_clock::now() + 50ms;
        while (std::chrono::steady_clock::now() < until) {
        }
        sNext->signal();
    };
    {
        DarwinTesting::ManualClock clock;
        DarwinClock::scheduleAlarm(
            DarwinClock::hostNow() + 1'000'000, [first] { first->signal(); }, "signal");
        clock.advance(1ms);
        EXPECT_EQ(first->fPasses.load(), 1);
        EXPECT_EQ(last->fPasses.load(), 1);
    }
    second->removeEventSource(last);
    last->release();
    second->release();
}

TEST(KernelIOKitWorkLoopStressTests, ActionsAndSourcesNeverOverlap)
{
    IOWorkLoop* loop = IOWorkLoop::workLoop();
    OSString* owner = OSString::withCString("owner");
    static std::atomic<int> inside{0};
    static std::atomic<int> overlaps{0};
    static int unguarded = 0;
    inside = 0;
    overlaps = 0;
    unguarded = 0;
    auto enter = [] {
        if (inside.fetch_add(1) != 0) {
            overlaps.fetch_add(1);
        }
        ++unguarded;
        inside.fetch_sub(1);
    };
    KernelIOKitRecordingSource* source = KernelIOKitRecordingSource::make(owner);
    source->fHook = [](KernelIOKitRecordingSource*) {
        if (inside.fetch_add(1) != 0) {
            overlaps.fetch_add(1);
        }
        ++unguarded;
        inside.fetch_sub(1);
    };
    loop->addEventSource(source);
    constexpr int kRounds = 2000;
    std::thread signaller([&] {
        for (int round = 0; round < kRounds; ++round) {
            source->signal();
        }
    });
    std::thread actor([&] {
        for (int round = 0; round < kRounds; ++round) {
            loop->runAction(
                [](OSObject*, void* arg0, void*, void*, void*) {
                    (*static_cast<decltype(enter)*>(arg0))();
                    return kIOReturnSuccess;
                },
                loop, &enter);
        }
    });
    signaller.join();
    actor.join();
    source->signal();
    ASSERT_TRUE(eventually([&] { return !source->fSignalled.load(); }));
    loop->closeGate();
    EXPECT_GE(unguarded, kRounds + 1);
    loop->openGate();
    EXPECT_EQ(overlaps.load(), 0);
    loop->removeEventSource(source);
    source->release();
    loop->release();
    owner->release();
}

} // namespace
