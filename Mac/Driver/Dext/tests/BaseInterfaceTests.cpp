#include "DextTestSupport.h"

#include <com_vork_driver_tide_base_interface.h>
#include <with_gate_closed.h>

#include <DarwinTesting/LogCapture.h>
#include <DriverKitTesting/DriverKitTesting.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using DextTesting::logged;

// Notes each power call with the state the system held when it came.
class PowerRecorder : public com_vork_driver_tide_base_interface
{
public:
    void Sleep() override
    {
        calls.push_back("Sleep at " + std::to_string(DriverKitTesting::powerState(this)));
    }
    void Wake() override { calls.push_back("Wake at " + std::to_string(DriverKitTesting::powerState(this))); }

    std::vector<std::string> calls;
};

template <typename T>
OSSharedPtr<T> makeService()
{
    OSSharedPtr<T> service(new T, OSNoRetain);
    EXPECT_TRUE(service->init());
    return service;
}

struct PowerCase
{
    uint32_t state;
    std::vector<std::string> calls;
};

class DextBaseInterfacePower : public testing::TestWithParam<PowerCase>
{};

TEST_P(DextBaseInterfacePower, CallsTheHookBeforeTheSystem)
{
    auto service = makeService<PowerRecorder>();
    service->IOService::SetPowerState(5);

    EXPECT_EQ(service->SetPowerState(GetParam().state), kIOReturnSuccess);

    EXPECT_EQ(service->calls, GetParam().calls);
    EXPECT_EQ(DriverKitTesting::powerState(service.get()), GetParam().state);
}

INSTANTIATE_TEST_SUITE_P(DextStates, DextBaseInterfacePower,
                         testing::Values(PowerCase{0, {"Sleep at 5"}}, PowerCase{2, {"Wake at 5"}},
                                         PowerCase{1, {}}));

TEST(DextBaseInterface, OwnsTheDeviceQueueFromStartToStop)
{
    DarwinTesting::LogCapture capture;
    auto service = makeService<com_vork_driver_tide_base_interface>();
    EXPECT_EQ(service->getWorkLoop(), nullptr);

    ASSERT_EQ(service->Start(nullptr), kIOReturnSuccess);
    ASSERT_NE(service->getWorkLoop(), nullptr);
    EXPECT_STREQ(service->getWorkLoop()->GetName(), "com_vork_driver_base_device_impl dispatch queue");

    EXPECT_EQ(service->Stop(nullptr), kIOReturnSuccess);
    EXPECT_EQ(service->getWorkLoop(), nullptr);
    EXPECT_TRUE(logged(capture, "com_vork_driver_base_device_impl::Stop ("));
    EXPECT_TRUE(logged(capture, "Releasing the workloop ("));
}

TEST(DextBaseInterface, StartFailsWhenTheQueueCannotBeMade)
{
    DarwinTesting::LogCapture capture;
    auto service = makeService<com_vork_driver_tide_base_interface>();
    DriverKitTesting::failNextCreations(1);

    EXPECT_EQ(service->Start(nullptr), kIOReturnNoMemory);
    EXPECT_EQ(service->getWorkLoop(), nullptr);
    EXPECT_TRUE(logged(capture, "ReportError (E00002BD) - ret = IODispatchQueue::Create("));
}

TEST(DextBaseInterface, SleepingFlagNeedsState)
{
    auto service = makeService<com_vork_driver_tide_base_interface>();
    EXPECT_FALSE(service->isSleeping());
    service->setSleeping(true);
    EXPECT_TRUE(service->isSleeping());
    service->setSleeping(false);
    EXPECT_FALSE(service->isSleeping());
}

TEST(DextWithGateClosed, DoesNothingWithoutAQueue)
{
    bool ran = false;
    with_gate_closed(nullptr, [&] { ran = true; });
    EXPECT_FALSE(ran);
}

TEST(DextWithGateClosed, RunsOnTheQueueAndWaitsForIt)
{
    IODispatchQueue* raw = nullptr;
    ASSERT_EQ(IODispatchQueue::Create("gate", 0, 0, &raw), kIOReturnSuccess);
    OSSharedPtr<IODispatchQueue> queue(raw, OSNoRetain);
    std::vector<std::string> steps;

    with_gate_closed(queue.get(), [&] {
        steps.push_back(queue->OnQueue() ? "outer on queue" : "outer elsewhere");
        // From the queue itself the block runs inline rather than waiting on itself.
        with_gate_closed(queue.get(), [&] { steps.push_back("inner"); });
        steps.push_back("outer done");
    });

    EXPECT_EQ(steps, (std::vector<std::string>{"outer on queue", "inner", "outer done"}));
}

// A completion's reference names a callback and its context; an action without one is reported.
class DextCompletionActions : public testing::Test
{
protected:
    void SetUp() override { service = makeService<com_vork_driver_tide_base_interface>(); }

    template <typename Callback>
    static void fill(OSAction* action, Callback callback, void* context)
    {
        *static_cast<CompletionReference<Callback>*>(action->GetReference()) = {callback, context};
    }

    OSSharedPtr<com_vork_driver_tide_base_interface> service;
    std::vector<std::string> seen;
};

TEST_F(DextCompletionActions, CallTheirCallbackWithTheContext)
{
    OSAction* asyncIO = nullptr;
    OSAction* isochIO = nullptr;
    OSAction* timer = nullptr;
    ASSERT_EQ(service->CreateActionIOUSBHostPipe_CompleteAsyncIO(16, &asyncIO), kIOReturnSuccess);
    ASSERT_EQ(service->CreateActionIOUSBHostPipe_CompleteAsyncIsochIO(16, &isochIO), kIOReturnSuccess);
    ASSERT_EQ(service->CreateActionUSBTimerDispatchSource_TimerOccurred(16, &timer), kIOReturnSuccess);
    fill<AsyncIOCallback>(
        asyncIO,
        [](IOReturn status, uint32_t count, uint64_t stamp, void* context) {
            static_cast<std::vector<std::string>*>(context)->push_back(
                "io " + std::to_string(status) + " " + std::to_string(count) + " " + std::to_string(stamp));
        },
        &seen);
    fill<AsyncIsochIOCallback>(
        isochIO,
        [](IOReturn status, void* context) {
            static_cast<std::vector<std::string>*>(context)->push_back("isoch " + std::to_string(status));
        },
        &seen);
    fill<TimerCallback>(
        timer,
        [](uint64_t time, void* context) {
            static_cast<std::vector<std::string>*>(context)->push_back("timer " + std::to_string(time));
        },
        &seen);

    OSAction::Arguments io;
    io.status = 7;
    io.count = 3;
    io.values[0] = 96;
    io.values[1] = 1234;
    asyncIO->invoke(io);
    OSAction::Arguments isoch;
    isoch.status = 9;
    isochIO->invoke(isoch);
    OSAction::Arguments fired;
    fired.count = 1;
    fired.values[0] = 5555;
    timer->invoke(fired);

    EXPECT_EQ(seen, (std::vector<std::string>{"io 7 96 1234", "isoch 9", "timer 5555"}));
    EXPECT_EQ(asyncIO->GetTarget(), service.get());
    asyncIO->release();
    isochIO->release();
    timer->release();
}

TEST_F(DextCompletionActions, WithoutAReferenceAreReported)
{
    DarwinTesting::LogCapture capture;
    OSAction* action = nullptr;
    ASSERT_EQ(service->CreateActionIOUSBHostPipe_CompleteAsyncIsochIO(0, &action), kIOReturnSuccess);

    action->invoke(OSAction::Arguments{});

    EXPECT_TRUE(logged(capture, "No callback vars! ("));
    action->release();
}

} // namespace
