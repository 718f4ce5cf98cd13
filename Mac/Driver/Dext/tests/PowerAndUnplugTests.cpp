#include "DextDevice.h"

#include <KorvanRequestRing.h>

#include <CoreFoundationTesting/RunLoop.h>
#include <DriverKitTesting/DriverKitTesting.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

using namespace KorvanDeviceIO;
using KorvanInterface::DescriptorOptions;
using KorvanInterface::Model;

constexpr uint8_t kRecord = KorvanInterface::kRecordInterface;
constexpr uint8_t kPlayback = KorvanInterface::kPlaybackInterface;

class DextPowerAndUnplug : public DextTesting::DextDeviceTest
{
protected:
    void SetUp() override
    {
        attach(DescriptorOptions(Model::Wrenlet, DextTesting::kVendor));
        connect = open();
        mach_vm_size_t size = 0;
        ASSERT_EQ(IOConnectMapMemory64(connect, 2, mach_task_self(), &outAddress, &size, 1),
                  kIOReturnSuccess);
    }

    const USBRequestBlock* out() const { return reinterpret_cast<const USBRequestBlock*>(outAddress); }

    // Waits until output block `block` is stamped after `after`; fails after the deadline.
    bool waitForOutputAfter(size_t block, uint64_t after)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (ReadBlockHeader(out()[block]).fHostTime <= after) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    mach_vm_address_t outAddress = 0;
};

TEST_F(DextPowerAndUnplug, SleepStopsTheHardwareAndWakeLetsItStreamAgain)
{
    ASSERT_EQ(startStreaming(DextTesting::kWrenletStart), kIOReturnSuccess);
    ASSERT_TRUE(waitForOutputAfter(1, 0));
    ASSERT_EQ(runState(DextTesting::kStop), kIOReturnSuccess);

    DriverKitTesting::sleepSystem();
    EXPECT_EQ(model->alternate(kRecord), 0);
    EXPECT_EQ(model->alternate(kPlayback), 0);
    DriverKitTesting::wakeSystem();

    const uint64_t before = ReadBlockHeader(out()[1]).fHostTime;
    ASSERT_EQ(startStreaming(DextTesting::kWrenletStart), kIOReturnSuccess);
    EXPECT_TRUE(waitForOutputAfter(1, before));
    EXPECT_EQ(runState(DextTesting::kStop), kIOReturnSuccess);
}

TEST_F(DextPowerAndUnplug, UnplugWhileStreamingEndsCallsButNotTheMapping)
{
    ASSERT_EQ(startStreaming(DextTesting::kWrenletStart), kIOReturnSuccess);
    ASSERT_TRUE(waitForOutputAfter(2, 0));

    IONotificationPortRef port = IONotificationPortCreate(kIOMainPortDefault);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port),
                       kCFRunLoopDefaultMode);
    io_iterator_t terminated = 0;
    int terminations = 0;
    ASSERT_EQ(IOServiceAddMatchingNotification(
                  port, kIOTerminatedNotification,
                  IOServiceMatching("com_vork_driver_tide_control_interface"),
                  [](void* refcon, io_iterator_t iterator) {
                      while (io_object_t object = IOIteratorNext(iterator)) {
                          ++*static_cast<int*>(refcon);
                          IOObjectRelease(object);
                      }
                  },
                  &terminations, &terminated),
              kIOReturnSuccess);
    while (io_object_t object = IOIteratorNext(terminated)) {
        IOObjectRelease(object);
    }

    SimUSB::Bus::shared().detach(kPort);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (terminations == 0 && std::chrono::steady_clock::now() < deadline) {
        CoreFoundationTesting::runUntilIdle();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(terminations, 1);
    model.reset();

    EXPECT_NE(runState(DextTesting::kStop), kIOReturnSuccess);
    std::vector<uint8_t> output(4172, 0);
    size_t outputSize = output.size();
    EXPECT_NE(call(0, nullptr, 0, output.data(), &outputSize), kIOReturnSuccess);
    EXPECT_NE(ReadBlockHeader(out()[2]).fHostTime, 0u) << "the mapping stays readable";
    EXPECT_EQ(IOConnectUnmapMemory64(connect, 2, mach_task_self(), outAddress), kIOReturnSuccess);

    IOObjectRelease(terminated);
    IONotificationPortDestroy(port);
    ASSERT_TRUE(DextTesting::waitForNoService("com_vork_driver_tide_control_interface"));
}

} // namespace
