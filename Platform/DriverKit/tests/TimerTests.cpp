#include <DriverKit/DriverKit.h>

#include <Darwin/Clock.h>
#include <DarwinTesting/Eventually.h>
#include <DarwinTesting/ManualClock.h>

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

using namespace std::chrono_literals;

namespace {

struct Fired
{
    std::mutex lock;
    std::vector<uint64_t> times;
    IOTimerDispatchSource* rearm = nullptr;
    uint64_t rearmBy = 0;
};

Fired* gFired = nullptr;

void timerOccurred(OSObject*, OSAction*, uint64_t time)
{
    std::lock_guard guard(gFired->lock);
    gFired->times.push_back(time);
    if (gFired->rearm != nullptr && gFired->times.size() < 3) {
        gFired->rearm->WakeAtTime(kIOTimerClockMachAbsoluteTime, time + gFired->rearmBy, 0);
    }
}

class TimerTest : public testing::Test
{
protected:
    void SetUp() override
    {
        gFired = &fired;
        IODispatchQueue::Create("Default", 0, 0, &queue);
        service->SetDispatchQueue("Default", queue);
        OSAction::Create(service.get(), nullptr, 0, &timerOccurred, &action);
        IOTimerDispatchSource::Create(queue, &timer);
        timer->SetHandler(action);
        timer->SetEnable(true);
    }
    void TearDown() override
    {
        timer->Cancel(nullptr);
        queue->DispatchSync([] {});
        OSSafeReleaseNULL(timer);
        OSSafeReleaseNULL(action);
        OSSafeReleaseNULL(queue);
    }

    std::vector<uint64_t> times()
    {
        queue->DispatchSync([] {});
        std::lock_guard guard(fired.lock);
        return fired.times;
    }

    DarwinTesting::ManualClock clock;
    Fired fired;
    OSSharedPtr<IOService> service{new IOService, OSNoRetain};
    IODispatchQueue* queue = nullptr;
    OSAction* action = nullptr;
    IOTimerDispatchSource* timer = nullptr;
};

TEST_F(TimerTest, FiresAtItsDeadline)
{
    const uint64_t deadline = DarwinClock::hostNow() + 2'000'000'000;
    ASSERT_EQ(timer->WakeAtTime(kIOTimerClockMachAbsoluteTime, deadline, 0), kIOReturnSuccess);
    clock.advance(1999ms);
    EXPECT_TRUE(times().empty());
    clock.advance(1ms);
    EXPECT_EQ(times(), std::vector<uint64_t>{deadline});
    clock.advance(10s);
    EXPECT_EQ(times().size(), 1u);
}

TEST_F(TimerTest, HandlerArmsItAgain)
{
    fired.rearm = timer;
    fired.rearmBy = 100'000'000;
    const uint64_t start = DarwinClock::hostNow();
    timer->WakeAtTime(kIOTimerClockMachAbsoluteTime, start + 100'000'000, 0);
    clock.advance(1s);
    EXPECT_EQ(times(),
              (std::vector<uint64_t>{start + 100'000'000, start + 200'000'000, start + 300'000'000}));
}

TEST_F(TimerTest, ArmingAgainReplacesTheDeadline)
{
    const uint64_t start = DarwinClock::hostNow();
    timer->WakeAtTime(kIOTimerClockMachAbsoluteTime, start + 100'000'000, 0);
    timer->WakeAtTime(kIOTimerClockMachAbsoluteTime, start + 300'000'000, 0);
    clock.advance(200ms);
    EXPECT_TRUE(times().empty());
    clock.advance(100ms);
    EXPECT_EQ(times().size(), 1u);
}

TEST_F(TimerTest, DisabledTimerDoesNotFire)
{
    timer->SetEnable(false);
    timer->WakeAtTime(kIOTimerClockMachAbsoluteTime, DarwinClock::hostNow() + 1'000'000, 0);
    clock.advance(10ms);
    EXPECT_TRUE(times().empty());
}

TEST_F(TimerTest, CancelDisarmsAndRunsTheHandlerOnTheQueue)
{
    timer->WakeAtTime(kIOTimerClockMachAbsoluteTime, DarwinClock::hostNow() + 1'000'000, 0);
    bool onQueue = false;
    EXPECT_EQ(timer->Cancel([&] { onQueue = queue->OnQueue(); }), kIOReturnSuccess);
    clock.advance(10ms);
    EXPECT_TRUE(times().empty());
    EXPECT_TRUE(onQueue);
    EXPECT_EQ(timer->WakeAtTime(kIOTimerClockMachAbsoluteTime, DarwinClock::hostNow() + 1, 0),
              kIOReturnAborted);
}

TEST(IOSleep, WaitsOnThePlatformClock)
{
    DarwinTesting::ManualClock clock;
    const uint64_t start = DarwinClock::hostNow();
    std::thread sleeper([] { IOSleep(500); });
    EXPECT_TRUE(DarwinTesting::eventually([&] { return clock.nextDeadline() != DarwinClock::kNever; }));
    EXPECT_EQ(clock.nextDeadline(), start + 500'000'000);
    clock.advance(500ms);
    sleeper.join();
}

} // namespace
