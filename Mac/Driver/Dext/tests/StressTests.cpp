#include "DextDevice.h"
#include "DirectConnection.h"
#include "MinimalRingReader.h"

#include <KorvanRequestRing.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using namespace KorvanDeviceIO;
using KorvanInterface::DescriptorOptions;
using KorvanInterface::Model;

constexpr uint8_t kRecord = KorvanInterface::kRecordInterface;

class DextStress : public DextTesting::DextDeviceTest
{
protected:
    static void SetUpTestSuite() { DextTesting::keepConnections(); }

    void SetUp() override { attach(DescriptorOptions(Model::Wrenlet, DextTesting::kVendor)); }
};

TEST_F(DextStress, StressClosingTheAudioClientWhileStatusArrives)
{
    std::atomic<bool> done{false};
    std::thread sender([&] {
        for (uint8_t i = 0; !done.load(); ++i) {
            model->sendStatus({0x00, 0x01, 0x00, 0x01, 0x00, i});
            std::this_thread::yield();
        }
    });
    for (int round = 0; round < 30; ++round) {
        io_connect_t client = open();
        ASSERT_NE(client, 0u) << "round " << round;
        auto direct = DextTesting::lastConnection();
        DextTesting::Completions completions;
        std::vector<uint8_t> buffer(4132, 0);
        size_t size = buffer.size();
        direct->callStructMethod(3, nullptr, 0, buffer.data(), &size, completions.action());
        IOServiceClose(client);
        direct.reset();
    }
    done.store(true);
    sender.join();
}

TEST_F(DextStress, StressStartAndStopWhileCompletionsArrive)
{
    connect = open();
    mach_vm_address_t address = 0;
    mach_vm_size_t size = 0;
    ASSERT_EQ(IOConnectMapMemory64(connect, 2, mach_task_self(), &address, &size, 1), kIOReturnSuccess);
    const auto* out = reinterpret_cast<const USBRequestBlock*>(address);
    for (int round = 0; round < 15; ++round) {
        ASSERT_EQ(startStreaming(DextTesting::kWrenletStart), kIOReturnSuccess) << "round " << round;
        const uint64_t after = ReadBlockHeader(out[0]).fHostTime;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        // Stops at once on odd rounds, after the first output block on even ones.
        while (round % 2 == 0 && ReadBlockHeader(out[0]).fHostTime == after &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_EQ(runState(DextTesting::kStop), kIOReturnSuccess);
        EXPECT_EQ(model->alternate(kRecord), 0);
    }
}

TEST_F(DextStress, StressUnplugMidStream)
{
    for (int round = 0; round < 5; ++round) {
        connect = open();
        ASSERT_EQ(startStreaming(DextTesting::kWrenletStart), kIOReturnSuccess);
        std::this_thread::yield();
        SimUSB::Bus::shared().detach(kPort);
        ASSERT_TRUE(DextTesting::waitForNoService("com_vork_driver_tide_control_interface"));
        IOServiceClose(connect);
        IOObjectRelease(service);
        connect = 0;
        service = 0;
        if (round < 4) {
            attach(DescriptorOptions(Model::Wrenlet, DextTesting::kVendor));
        } else {
            model.reset();
        }
    }
}

// The plug-in's chase of record 0 runs beside the driver's own; where the plug-in is ahead the driver
// takes its lengths, and either way the counts are the frames the device sent.
TEST_F(DextStress, StressStreamingWhileTheReaderChases)
{
    SimUSB::Bus::shared().detach(kPort);
    ASSERT_TRUE(DextTesting::waitForNoService("com_vork_driver_tide_control_interface"));
    IOObjectRelease(service);
    attach(DescriptorOptions(Model::Wrenlet, DextTesting::kVendor), 2);
    connect = open();
    mach_vm_address_t inAddress = 0;
    mach_vm_address_t outAddress = 0;
    mach_vm_size_t size = 0;
    ASSERT_EQ(IOConnectMapMemory64(connect, 1, mach_task_self(), &inAddress, &size, 1), kIOReturnSuccess);
    ASSERT_EQ(IOConnectMapMemory64(connect, 2, mach_task_self(), &outAddress, &size, 1), kIOReturnSuccess);
    auto* in = reinterpret_cast<USBRequestBlock*>(inAddress);
    const uint32_t maxPacket = KorvanInterface::recordMaxPacket(20, 4, KorvanInterface::Family::Single);
    MinimalRingReader reader(in, reinterpret_cast<const USBRequestBlock*>(outAddress), maxPacket, 80, 2);

    ASSERT_EQ(startStreaming(DextTesting::kWrenletStart, 0, 2), kIOReturnSuccess);
    std::atomic<bool> done{false};
    std::thread chaser([&] {
        while (!done.load()) {
            reader.chase();
            std::this_thread::yield();
        }
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (reader.outputHeader(10).fHostTime == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(runState(DextTesting::kStop), kIOReturnSuccess);
    done.store(true);
    chaser.join();

    EXPECT_GT(reader.consumed(), 8u * 160u);
    // A slow machine may let the ring go round before the stop: requests queued again since, and
    // those in flight at the stop, carry no counts yet. Every block that completed matches.
    size_t completed = 0;
    for (size_t block = 0; block < kRequestBlockCount; ++block) {
        if (ReadBlockHeader(in[block]).fEndByteCount != 0) {
            expectInputCountsMatchDevice(in, block, block, 80);
            ++completed;
        }
    }
    EXPECT_GE(completed, 8u);
}

} // namespace
