#include "DextDevice.h"
#include "DirectConnection.h"

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
constexpr uint8_t kPlayback = KorvanInterface::kPlaybackInterface;

class DextStress : public DextTesting::DextDeviceTest
{
protected:
    static void SetUpTestSuite() { DextTesting::keepConnections(); }

    void SetUp() override { attach(DescriptorOptions(Model::Wrenlet, DextTesting::kVendor)); }

    IOReturn runState(io_connect_t on, uint32_t state)
    {
        const USBAudioRunStateRequest request{state, kRecord, 1, 80, kPlayback, 1, 88};
        std::vector<uint8_t> output(4100, 0);
        size_t outputSize = output.size();
        return IOConnectCallStructMethod(on, 6, &request, sizeof(request), output.data(), &outputSize);
    }
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
        ASSERT_EQ(runState(connect, 1), kIOReturnSuccess) << "round " << round;
        const uint64_t after = ReadBlockHeader(out[0]).fHostTime;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        // Stops at once on odd rounds, after the first output block on even ones.
        while (round % 2 == 0 && ReadBlockHeader(out[0]).fHostTime == after &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_EQ(runState(connect, 0), kIOReturnSuccess);
        EXPECT_EQ(model->alternate(kRecord), 0);
    }
}

TEST_F(DextStress, StressUnplugMidStream)
{
    for (int round = 0; round < 5; ++round) {
        connect = open();
        ASSERT_EQ(runState(connect, 1), kIOReturnSuccess);
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

} // namespace
