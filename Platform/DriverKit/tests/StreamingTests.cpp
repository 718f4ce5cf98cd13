// A toy driver streaming isochronous IN and OUT on the Korvan model, with interrupt reads queued,
// on the real clock; the queue threads allocate nothing once the pools have grown.

#include "DriverKitTestSupport.h"
#include "VorkAllocationCounter.h"

#include <DarwinTesting/Eventually.h>

namespace {

using DriverKitTests::KorvanDeviceTest;

template <typename Condition>
void waitUntil(Condition condition)
{
    EXPECT_TRUE(DarwinTesting::eventually(condition)) << "the streams never got that far";
}

TEST_F(KorvanDeviceTest, ToyStreamsBothWaysAndReadsStatus)
{
    ASSERT_TRUE(toy->startStreaming());
    model->changeRateFromDevice(48000);
    waitUntil(
        [&] { return toy->inputCompletions >= 40 && toy->outputCompletions >= 20 && toy->statusReads >= 1; });
    toy->stopStreaming();
    EXPECT_EQ(toy->submissionFailures, 0u);
    EXPECT_FALSE(model->recordFrames().empty());
    EXPECT_FALSE(model->playbackBytes().empty());
    EXPECT_EQ(model->statusLog().size(), 1u);
    const auto settings = model->interfaceLog();
    EXPECT_EQ(settings.back().second, 0);
}

TEST_F(KorvanDeviceTest, QueueThreadsAllocateNothingWhileStreaming)
{
    ASSERT_TRUE(toy->startStreaming());
    // Let the pools of queue nodes, pending transfers and bus records grow to what streaming needs.
    for (int i = 0; i < 8; ++i) {
        model->sendStatus({0, 1, 0, 1, 0, 0x10});
    }
    waitUntil([&] { return toy->inputCompletions >= 400 && toy->statusReads >= 8; });
    IODispatchQueue* defaultQueue = nullptr;
    toy->CopyDispatchQueue("Default", &defaultQueue);
    OSSharedPtr<IODispatchQueue> heldDefault(defaultQueue, OSNoRetain);
    toy->busQueue()->DispatchSync([] { VorkTesting::markThread(true); });
    defaultQueue->DispatchSync([] { VorkTesting::markThread(true); });
    const VorkTesting::MarkedThreadsAllocationCounter allocations;
    const uint64_t inputs = toy->inputCompletions;
    const uint64_t reads = toy->statusReads;
    for (int i = 0; i < 8; ++i) {
        model->sendStatus({0, 1, 0, 1, 0, 0x10});
    }
    waitUntil([&] { return toy->inputCompletions >= inputs + 100 && toy->statusReads >= reads + 8; });
    EXPECT_EQ(allocations.count(), 0u);
    toy->busQueue()->DispatchSync([] { VorkTesting::markThread(false); });
    defaultQueue->DispatchSync([] { VorkTesting::markThread(false); });
    toy->stopStreaming();
}

} // namespace
