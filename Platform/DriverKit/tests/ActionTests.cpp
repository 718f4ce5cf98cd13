#include <DriverKit/DriverKit.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

namespace {

OSSharedPtr<IODispatchQueue> makeQueue(const char* name)
{
    IODispatchQueue* queue = nullptr;
    IODispatchQueue::Create(name, 0, 0, &queue);
    return OSSharedPtr<IODispatchQueue>(queue, OSNoRetain);
}

// A service with a Default queue and, when asked, a queue installed under a name.
struct TargetService
{
    TargetService()
    {
        service->SetDispatchQueue("Default", defaultQueue.get());
        service->SetDispatchQueue("Bus", busQueue.get());
    }
    ~TargetService()
    {
        defaultQueue->DispatchSync([] {});
        busQueue->DispatchSync([] {});
    }

    OSSharedPtr<IOService> service{new IOService, OSNoRetain};
    OSSharedPtr<IODispatchQueue> defaultQueue = makeQueue("Default");
    OSSharedPtr<IODispatchQueue> busQueue = makeQueue("Bus");
};

struct Delivery
{
    std::mutex lock;
    std::condition_variable done;
    int count = 0;
    bool onDefault = false;
    bool onBus = false;
    IOReturn status = 0;
    uint32_t actual = 0;
    uint64_t timestamp = 0;

    void wait(int expected)
    {
        std::unique_lock guard(lock);
        done.wait(guard, [&] { return count >= expected; });
    }
};

Delivery* gDelivery = nullptr;
TargetService* gTarget = nullptr;

void recordAsyncIO(OSObject*, OSAction*, IOReturn status, uint32_t actual, uint64_t timestamp)
{
    std::lock_guard guard(gDelivery->lock);
    gDelivery->onDefault = gTarget->defaultQueue->OnQueue();
    gDelivery->onBus = gTarget->busQueue->OnQueue();
    gDelivery->status = status;
    gDelivery->actual = actual;
    gDelivery->timestamp = timestamp;
    ++gDelivery->count;
    gDelivery->done.notify_all();
}

class ActionTest : public testing::Test
{
protected:
    void SetUp() override
    {
        gDelivery = &delivery;
        gTarget = &target;
    }

    TargetService target;
    Delivery delivery;
};

struct QueueCase
{
    const char* queueName;
    bool onBus;
};

class ActionQueueTest : public ActionTest, public testing::WithParamInterface<QueueCase>
{};

TEST_P(ActionQueueTest, RunsOnTheQueueInstalledUnderItsNameElseOnDefault)
{
    OSAction* action = nullptr;
    ASSERT_EQ(OSAction::Create(target.service.get(), GetParam().queueName, 16, &recordAsyncIO, &action),
              kIOReturnSuccess);
    OSSharedPtr<OSAction> held(action, OSNoRetain);
    OSAction::Arguments arguments;
    arguments.status = kIOReturnUnderrun;
    arguments.values[0] = 42;
    arguments.values[1] = 7;
    EXPECT_TRUE(action->deliver(arguments));
    delivery.wait(1);
    EXPECT_EQ(delivery.onBus, GetParam().onBus);
    EXPECT_EQ(delivery.onDefault, !GetParam().onBus);
    EXPECT_EQ(delivery.status, kIOReturnUnderrun);
    EXPECT_EQ(delivery.actual, 42u);
    EXPECT_EQ(delivery.timestamp, 7u);
}

INSTANTIATE_TEST_SUITE_P(Queues, ActionQueueTest,
                         testing::Values(QueueCase{"Bus", true}, QueueCase{"Missing", false},
                                         QueueCase{nullptr, false}));

TEST_F(ActionTest, ReferenceHasTheRequestedSizeZeroFilled)
{
    OSAction* action = nullptr;
    ASSERT_EQ(OSAction::Create(target.service.get(), nullptr, 40, &recordAsyncIO, &action), kIOReturnSuccess);
    OSSharedPtr<OSAction> held(action, OSNoRetain);
    ASSERT_NE(action->GetReference(), nullptr);
    EXPECT_EQ(action->GetReferenceSize(), 40u);
    const auto* bytes = static_cast<const uint8_t*>(action->GetReference());
    EXPECT_TRUE(std::all_of(bytes, bytes + 40, [](uint8_t b) { return b == 0; }));
}

TEST_F(ActionTest, CancelledActionDeliversNothingAndRunsItsHandler)
{
    OSAction* action = nullptr;
    ASSERT_EQ(OSAction::Create(target.service.get(), "Bus", 0, &recordAsyncIO, &action), kIOReturnSuccess);
    OSSharedPtr<OSAction> held(action, OSNoRetain);
    bool handlerOnBus = false;
    EXPECT_EQ(action->Cancel([&] { handlerOnBus = target.busQueue->OnQueue(); }), kIOReturnSuccess);
    EXPECT_FALSE(action->deliver({}));
    target.busQueue->DispatchSync([] {});
    EXPECT_TRUE(handlerOnBus);
    EXPECT_EQ(delivery.count, 0);
}

TEST_F(ActionTest, RefusesATargetWithoutQueues)
{
    OSSharedPtr<OSData> notAService(OSData::withCapacity(1), OSNoRetain);
    OSAction* action = nullptr;
    EXPECT_EQ(OSAction::Create(notAService.get(), nullptr, 0, &recordAsyncIO, &action), kIOReturnBadArgument);
}

// AsyncCompletion from a client that holds its own lock: the handler must not run inline.
struct Completion
{
    std::mutex clientLock;
    std::mutex lock;
    std::condition_variable done;
    bool returned = false;
    bool ranAfterReturn = false;
    bool ranOnDefault = false;
    std::vector<uint64_t> values;
    bool finished = false;
};

Completion* gCompletion = nullptr;
IODispatchQueue* gCompletionQueue = nullptr;

void recordCompletion(OSObject*, OSAction*, IOReturn, const uint64_t* data, uint32_t count)
{
    std::lock_guard clientGuard(gCompletion->clientLock);
    std::lock_guard guard(gCompletion->lock);
    gCompletion->ranAfterReturn = gCompletion->returned;
    gCompletion->ranOnDefault = gCompletionQueue->OnQueue();
    gCompletion->values.assign(data, data + count);
    gCompletion->finished = true;
    gCompletion->done.notify_all();
}

TEST(AsyncCompletion, RunsOnTheActionsQueueNeverInline)
{
    OSSharedPtr<IOUserClient> client(new IOUserClient, OSNoRetain);
    auto queue = makeQueue("Default");
    client->SetDispatchQueue("Default", queue.get());
    Completion completion;
    gCompletion = &completion;
    gCompletionQueue = queue.get();
    OSAction* action = nullptr;
    ASSERT_EQ(OSAction::Create(client.get(), nullptr, 0, &recordCompletion, &action), kIOReturnSuccess);
    OSSharedPtr<OSAction> held(action, OSNoRetain);
    {
        std::lock_guard clientGuard(completion.clientLock);
        const uint64_t data[3] = {1, 2, 3};
        client->AsyncCompletion(action, kIOReturnSuccess, data, 3);
        std::lock_guard guard(completion.lock);
        completion.returned = true;
    }
    std::unique_lock guard(completion.lock);
    completion.done.wait(guard, [&] { return completion.finished; });
    EXPECT_TRUE(completion.ranAfterReturn);
    EXPECT_TRUE(completion.ranOnDefault);
    EXPECT_EQ(completion.values, (std::vector<uint64_t>{1, 2, 3}));
}

} // namespace
