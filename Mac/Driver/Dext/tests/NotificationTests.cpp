#include "DextTestSupport.h"

#include <com_vork_driver_tide_notificationQueue.h>
#include <com_vork_driver_tide_proxyEventSource.h>

#include <DarwinTesting/LogCapture.h>
#include <DriverKitTesting/DriverKitTesting.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace {

using Notification = com_vork_driver_tide_notification;
using NotificationQueue = com_vork_driver_tide_notificationQueue;

OSSharedPtr<Notification> record(uint32_t type, uint8_t byte)
{
    return OSSharedPtr<Notification>(Notification::NewNotification(type, &byte, 1), OSNoRetain);
}

TEST(DextNotification, RecordIsByteExact)
{
    const uint8_t data[] = {0x61, 0x62};
    OSSharedPtr<Notification> notification(Notification::NewNotification(1, data, 2), OSNoRetain);
    ASSERT_TRUE(notification);

    std::vector<uint8_t> expected(4132, 0);
    expected[28] = 1;
    expected[32] = 2;
    expected[36] = 0x61;
    expected[37] = 0x62;
    ASSERT_EQ(notification->getSize(), 4132u);
    EXPECT_EQ(std::vector<uint8_t>(notification->getBytes(), notification->getBytes() + 4132), expected);
}

TEST(DextNotification, TakesAtMost4096Bytes)
{
    std::vector<uint8_t> data(4097, 0x11);
    EXPECT_EQ(Notification::NewNotification(0, data.data(), 4097), nullptr);
    OSSharedPtr<Notification> largest(Notification::NewNotification(0, data.data(), 4096), OSNoRetain);
    ASSERT_TRUE(largest);
    EXPECT_EQ(largest->getBytes()[36 + 4095], 0x11);
}

TEST(DextNotification, ReportsAFailedDataObject)
{
    DarwinTesting::LogCapture capture;
    DriverKitTesting::failNextCreations(1);
    EXPECT_EQ(Notification::NewNotification(0, nullptr, 0), nullptr);
    EXPECT_TRUE(
        DextTesting::logged(capture, "ReportBooleanError - ivars->fData = OSData::withBytes(&m, sizeof(m))"));
}

TEST(DextNotificationQueue, HoldsFourInOrder)
{
    OSSharedPtr<NotificationQueue> queue(NotificationQueue::NewNotificationQueue(), OSNoRetain);
    ASSERT_TRUE(queue);
    EXPECT_TRUE(queue->empty());
    EXPECT_FALSE(queue->full());
    EXPECT_EQ(queue->popNotification(), nullptr);

    for (uint8_t i = 1; i <= 4; ++i) {
        EXPECT_TRUE(queue->pushNotification(record(0, i).get()));
    }
    EXPECT_TRUE(queue->full());
    EXPECT_FALSE(queue->pushNotification(record(0, 5).get()));

    OSSharedPtr<Notification> first(queue->popNotification(), OSNoRetain);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->getBytes()[36], 1);
    EXPECT_TRUE(queue->pushNotification(record(0, 6).get()));
    EXPECT_FALSE(queue->pushNotification(record(0, 7).get()));

    std::vector<uint8_t> order;
    while (Notification* next = queue->popNotification()) {
        order.push_back(next->getBytes()[36]);
        next->release();
    }
    EXPECT_EQ(order, (std::vector<uint8_t>{2, 3, 4, 6}));
    EXPECT_TRUE(queue->empty());
}

TEST(DextProxyEventSource, RefusesMissingParts)
{
    DarwinTesting::LogCapture capture;
    IODispatchQueue* raw = nullptr;
    ASSERT_EQ(IODispatchQueue::Create("proxy", 0, 0, &raw), kIOReturnSuccess);
    OSSharedPtr<IODispatchQueue> queue(raw, OSNoRetain);
    auto proc = [](OSObject*, IODispatchQueue*) {};

    EXPECT_EQ(com_vork_driver_tide_proxyEventSource::proxyEventSource(nullptr, proc, queue.get()), nullptr);
    EXPECT_EQ(com_vork_driver_tide_proxyEventSource::proxyEventSource(queue.get(), nullptr, queue.get()),
              nullptr);
    EXPECT_EQ(com_vork_driver_tide_proxyEventSource::proxyEventSource(queue.get(), proc, nullptr), nullptr);
    EXPECT_TRUE(DextTesting::logged(capture, "ReportBooleanError - object ("));
    EXPECT_TRUE(DextTesting::logged(capture, "ReportBooleanError - proc ("));
    EXPECT_TRUE(DextTesting::logged(capture, "ReportBooleanError - queue ("));
}

// Counts calls on the queue it was given.
class Counter : public OSObject
{
public:
    static void proc(OSObject* object, IODispatchQueue* queue)
    {
        auto* counter = static_cast<Counter*>(object);
        std::lock_guard lock(counter->mutex);
        counter->onQueue = counter->onQueue && queue->OnQueue();
        ++counter->calls;
    }

    std::mutex mutex;
    int calls = 0;
    bool onQueue = true;
};

TEST(DextProxyEventSource, EverySignalRunsOneCall)
{
    IODispatchQueue* raw = nullptr;
    ASSERT_EQ(IODispatchQueue::Create("proxy", 0, 0, &raw), kIOReturnSuccess);
    OSSharedPtr<IODispatchQueue> queue(raw, OSNoRetain);
    OSSharedPtr<Counter> counter(new Counter, OSNoRetain);
    OSSharedPtr<com_vork_driver_tide_proxyEventSource> source(
        com_vork_driver_tide_proxyEventSource::proxyEventSource(counter.get(), Counter::proc, queue.get()),
        OSNoRetain);
    ASSERT_TRUE(source);

    for (int i = 0; i < 3; ++i) {
        source->signalWorkAvailable();
    }
    // A marker queued after the signals runs after their calls.
    queue->DispatchSync([] {});

    std::lock_guard lock(counter->mutex);
    EXPECT_EQ(counter->calls, 3);
    EXPECT_TRUE(counter->onQueue);
}

} // namespace
