// Concurrency under ThreadSanitizer: queues cancelled while others dispatch onto them, timers armed
// again from their handlers, and a device unplugged in the middle of streaming, control transfers
// and status reads.

#include "DriverKitTestSupport.h"

#include <DarwinTesting/Eventually.h>

#include <mach/mach_time.h>

#include <atomic>
#include <thread>

namespace {

TEST(DriverKitStress, DispatchOntoQueuesBeingCancelled)
{
    constexpr int kQueues = 4;
    std::mutex lock;
    std::vector<OSSharedPtr<IODispatchQueue>> queues(kQueues);
    auto replace = [&](int i) {
        IODispatchQueue* queue = nullptr;
        IODispatchQueue::Create("stress", 0, 0, &queue);
        OSSharedPtr<IODispatchQueue> fresh(queue, OSNoRetain);
        std::lock_guard guard(lock);
        std::swap(queues[size_t(i)], fresh);
        if (fresh) {
            fresh->Cancel([] {});
        }
    };
    for (int i = 0; i < kQueues; ++i) {
        replace(i);
    }
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> ran{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (uint32_t n = 0; !stop; ++n) {
                OSSharedPtr<IODispatchQueue> queue;
                {
                    std::lock_guard guard(lock);
                    queue = queues[(n + uint32_t(t)) % kQueues];
                }
                if (n % 2 == 0) {
                    queue->DispatchSync([&] { ran.fetch_add(1); });
                } else {
                    queue->DispatchAsync([&] { ran.fetch_add(1); });
                }
            }
        });
    }
    for (int round = 0; round < 200; ++round) {
        replace(round % kQueues);
    }
    EXPECT_TRUE(DarwinTesting::eventually([&] { return ran.load() >= 20'000; }));
    stop = true;
    for (auto& thread : threads) {
        thread.join();
    }
    for (auto& queue : queues) {
        queue->DispatchSync([] {});
    }
}

std::atomic<int> gTimerFires{0};
IOTimerDispatchSource* gStressTimer = nullptr;

TEST(DriverKitStress, TimersArmedAgainFromTheirHandlers)
{
    gTimerFires = 0;
    OSSharedPtr<IOService> service(new IOService, OSNoRetain);
    IODispatchQueue* queue = nullptr;
    IODispatchQueue::Create("Default", 0, 0, &queue);
    service->SetDispatchQueue("Default", queue);
    OSAction* action = nullptr;
    OSAction::Create(service.get(), nullptr, 0,
                     OSAction::TimerOccurredHandler([](OSObject*, OSAction*, uint64_t time) {
                         if (gTimerFires.fetch_add(1) < 300) {
                             gStressTimer->WakeAtTime(kIOTimerClockMachAbsoluteTime, time + 100'000, 0);
                         }
                     }),
                     &action);
    IOTimerDispatchSource::Create(queue, &gStressTimer);
    gStressTimer->SetHandler(action);
    gStressTimer->SetEnable(true);
    gStressTimer->WakeAtTime(kIOTimerClockMachAbsoluteTime, mach_absolute_time(), 0);
    std::atomic<bool> fired{false};
    std::thread toggler([&] {
        while (!fired) {
            gStressTimer->SetEnable(true);
            std::this_thread::yield();
        }
    });
    EXPECT_TRUE(DarwinTesting::eventually([] { return gTimerFires.load() >= 300; }));
    fired = true;
    toggler.join();
    gStressTimer->Cancel(nullptr);
    queue->DispatchSync([] {});
    OSSafeReleaseNULL(gStressTimer);
    action->release();
    queue->release();
}

class DriverKitStressTest : public DriverKitTests::KorvanDeviceTest
{};

TEST_F(DriverKitStressTest, UnplugInTheMiddleOfEverything)
{
    ASSERT_TRUE(toy->startStreaming());
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    IOUSBHostInterface* control = toy->controlInterface();
    control->retain();
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            IOBufferMemoryDescriptor* buffer = nullptr;
            IOBufferMemoryDescriptor::Create(kIOMemoryDirectionInOut, 4, 0, &buffer);
            while (!stop) {
                uint16_t transferred = 0;
                if (control->DeviceRequest(0xA1, 1, 0x0100, 0x1000, 4, buffer, &transferred, 500) ==
                    kIOReturnNoDevice) {
                    break;
                }
            }
            buffer->release();
        });
    }
    threads.emplace_back([&] {
        while (!stop) {
            model->sendStatus({0, 1, 0, 1, 0, 0x10});
            std::this_thread::yield();
        }
    });
    EXPECT_TRUE(
        DarwinTesting::eventually([&] { return toy->inputCompletions >= 100 && toy->statusReads >= 20; }));
    SimUSB::Bus::shared().detach(kPort);
    stop = true;
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(ToyDrivers::korvanToy(), nullptr);
    uint16_t transferred = 0;
    EXPECT_EQ(control->DeviceRequest(0x80, 0, 0, 0, 0, nullptr, &transferred, 500), kIOReturnNoDevice);
    control->release();
}

} // namespace
