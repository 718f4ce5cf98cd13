#include "DextDevice.h"
#include "DextTestSupport.h"

#include "USBServiceClient.h"

#include <IOKit/platform/KernelNumbering.h>
#include <KorvanRequestRing.h>

#include <CoreFoundationTesting/RunLoop.h>
#include <DarwinTesting/Eventually.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using namespace KorvanDeviceIO;
using DextTesting::DextDeviceTest;
using KorvanInterface::DescriptorOptions;
using KorvanInterface::Model;

constexpr UInt32 kAudio = DextTesting::kAudioClient;
constexpr UInt32 kTest = DextTesting::kTestClient;

struct Received
{
    UInt32 type;
    std::vector<UInt8> data;
    std::thread::id thread;
};

void record(void* user, UInt32 type, const UInt8* data, UInt32 length)
{
    static_cast<std::vector<Received>*>(user)->push_back(
        {type, {data, data + length}, std::this_thread::get_id()});
}

// The plug-in's client on the driver, through the adapter.
class DextKernelNumbering : public DextDeviceTest, public testing::WithParamInterface<Model>
{
protected:
    static void SetUpTestSuite()
    {
        IOKitPlatform::useKernelNumbering("com_vork_driver_tide_control_interface");
    }

    void SetUp() override
    {
        attach(DescriptorOptions(GetParam(), DextTesting::kVendor), 2);
        client = std::make_unique<USBServiceClient>(KorvanService(service, KorvanService::kBusTypeUSB),
                                                    kAudio, &received, record);
        ASSERT_TRUE(client->Open());
    }

    void TearDown() override
    {
        client.reset();
        DextDeviceTest::TearDown();
    }

    // Serves this thread's run loop until `count` notifications came; fails after the deadline.
    bool waitForNotifications(size_t count)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (received.size() < count && std::chrono::steady_clock::now() < deadline) {
            CoreFoundationTesting::runUntilIdle();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return received.size() >= count;
    }

    std::vector<Received> received;
    std::unique_ptr<USBServiceClient> client;
};

TEST_P(DextKernelNumbering, DeviceInformationAndProperties)
{
    DeviceInfoRequest info{};
    ASSERT_TRUE(client->GetDeviceInfo(&info));
    EXPECT_EQ(NameFieldText(info.fUID), "ab12cd34");
    EXPECT_EQ(NameFieldText(info.fProductName), KorvanInterface::modelInfo(GetParam()).product);
    EXPECT_EQ(info.fProductID, GetParam() == Model::Wrenlet ? 12u : 14u);
    EXPECT_EQ(info.fDeviceRelease, DescriptorOptions(GetParam(), DextTesting::kVendor).bcdDevice);

    EXPECT_FALSE(client->SetProperty(1, 2));
    UInt32 value = 0;
    ASSERT_TRUE(client->GetProperty(1, value));
    EXPECT_EQ(value, 95375u);
}

TEST_P(DextKernelNumbering, ControlRequestsReachTheDevice)
{
    USBUACControlRequest get{0, 1, KorvanInterface::Entity::kClockSource, 4, {}};
    USBControlResponse response{};
    ASSERT_TRUE(client->SendUACControlRequest(&get, &response));
    uint32_t rate = 0;
    std::memcpy(&rate, response.fData, 4);
    EXPECT_EQ(rate, 48000u);

    USBUACControlRequest set{1, 1, KorvanInterface::Entity::kClockSource, 4, {}};
    const uint32_t wanted = 96000;
    std::memcpy(set.fData, &wanted, 4);
    ASSERT_TRUE(client->SendUACControlRequest(&set, &response));
    EXPECT_EQ(model->sampleRate(), 96000u);

    USBVendorControlRequest vendor{1, 0x33, 0, 0, 0, {}};
    client->SendVendorControlRequest(&vendor, &response);
    EXPECT_EQ(model->controlLog().back().setup.bRequest, 0x33);
}

TEST_P(DextKernelNumbering, DescriptorsNamesAndHeaders)
{
    auto descriptors = std::make_unique<USBDescriptors>();
    ASSERT_TRUE(client->GetUSBConfig1Descriptors(descriptors.get()));
    EXPECT_EQ(std::vector<uint8_t>(descriptors->fData, descriptors->fData + descriptors->fLength),
              model->descriptors().configuration);

    ChannelNamesRequest request{KorvanInterface::kRecordInterface, 1, KorvanInterface::kPlaybackInterface, 1};
    auto names = std::make_unique<ChannelNamesResponse>();
    ASSERT_TRUE(client->GetChannelNames(&request, names.get()));
    EXPECT_FALSE(NameFieldText(names->fInNames[0]).empty());

    UInt8 version = 9;
    ASSERT_TRUE(client->GetStreamingHeadersVersion(version));
    EXPECT_EQ(version, 2);
    EnableStreamingHeadersRequest enable{2, 1};
    ASSERT_TRUE(client->SetStreamingHeadersEnable(&enable));
    EXPECT_TRUE(model->headerMode());
}

TEST_P(DextKernelNumbering, RunStateStreamsIntoTheMappedRings)
{
    UInt32 inSize = 0;
    UInt32 outSize = 0;
    auto* in = static_cast<const USBRequestBlock*>(client->GetAudioBuffer(1, inSize));
    auto* out = static_cast<const USBRequestBlock*>(client->GetAudioBuffer(2, outSize));
    ASSERT_NE(in, nullptr);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(inSize, 11'550'080u);
    EXPECT_EQ(outSize, 11'550'080u);

    const KorvanInterface::ChannelCounts channels = KorvanInterface::modelInfo(GetParam()).channels[0];
    USBAudioRunStateRequest start{1,
                                  KorvanInterface::kRecordInterface,
                                  1,
                                  channels.in * 4u,
                                  KorvanInterface::kPlaybackInterface,
                                  1,
                                  channels.out * 4u};
    ASSERT_TRUE(DarwinTesting::startedWithin([&] { return client->SetUSBAudioRunState(&start); }));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ReadBlockHeader(out[2]).fHostTime == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(ReadBlockHeader(out[2]).fMicroframe, ReadBlockHeader(out[1]).fMicroframe + 160);
    EXPECT_EQ(ReadBlockHeader(in[2]).fMicroframe, ReadBlockHeader(in[1]).fMicroframe + 160);

    USBAudioRunStateRequest stop{};
    ASSERT_TRUE(client->SetUSBAudioRunState(&stop));
    EXPECT_EQ(model->alternate(KorvanInterface::kRecordInterface), 0);
    EXPECT_EQ(model->alternate(KorvanInterface::kPlaybackInterface), 0);
    client->ReleaseAudioBuffer(const_cast<USBRequestBlock*>(in), 1);
    client->ReleaseAudioBuffer(const_cast<USBRequestBlock*>(out), 2);
}

TEST_P(DextKernelNumbering, StatusArrivesOnTheOpenersThread)
{
    model->changeRateFromDevice(96000);
    ASSERT_TRUE(waitForNotifications(1));
    EXPECT_EQ(received[0].type, 0u);
    EXPECT_EQ(received[0].data, (std::vector<UInt8>{0x00, 0x01, 0x00, 0x01, 0x00, 0x10}));
    EXPECT_EQ(received[0].thread, std::this_thread::get_id());

    // The loop is served while they come, as the plug-in's is.
    for (UInt8 i = 1; i <= 10; ++i) {
        model->sendStatus({0x00, 0x01, 0x00, 0x01, 0x00, i});
        ASSERT_TRUE(waitForNotifications(size_t(i) + 1));
    }
    for (UInt8 i = 1; i <= 10; ++i) {
        EXPECT_EQ(received[i].data.back(), i);
    }
}

TEST_P(DextKernelNumbering, KernelSizesAreCheckedBeforeTheDriver)
{
    io_connect_t raw = 0;
    ASSERT_EQ(IOServiceOpen(service, mach_task_self(), kTest, &raw), kIOReturnSuccess);
    const size_t before = model->controlLog().size();
    std::vector<uint8_t> output(4200, 0);
    size_t outputSize = 16;
    USBUACControlRequest request{};
    EXPECT_EQ(IOConnectCallStructMethod(raw, 3, &request, sizeof(request), output.data(), &outputSize),
              static_cast<IOReturn>(0xE00002C2));
    outputSize = 0;
    EXPECT_EQ(IOConnectCallStructMethod(raw, 10, nullptr, 0, nullptr, &outputSize),
              static_cast<IOReturn>(0xE00002C7));
    EXPECT_EQ(model->controlLog().size(), before);
    IOServiceClose(raw);
}

// Statuses come faster than the plug-in reads them: some are dropped, none is repeated or reordered.
TEST_P(DextKernelNumbering, StressRegistrationsRacingNotifications)
{
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        for (UInt8 i = 1; i < 200; ++i) {
            model->sendStatus({0x00, 0x01, 0x00, 0x01, 0x00, i});
            std::this_thread::yield();
        }
        sent.store(true);
    });
    auto markerArrived = [&] { return !received.empty() && received.back().data.back() == 0xFF; };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!sent.load()) {
        CoreFoundationTesting::runUntilIdle();
    }
    sender.join();
    // A marker sent once the burst is over arrives last, after what was kept of the burst.
    while (std::chrono::steady_clock::now() < deadline && !markerArrived()) {
        model->sendStatus({0x00, 0x01, 0x00, 0x01, 0x00, 0xFF});
        const size_t before = received.size();
        while (std::chrono::steady_clock::now() < deadline && received.size() == before) {
            CoreFoundationTesting::runUntilIdle();
        }
    }
    ASSERT_TRUE(markerArrived());
    std::vector<UInt8> order;
    for (const Received& r : received) {
        if (r.data.back() != 0xFF) {
            order.push_back(r.data.back());
        }
    }
    ASSERT_FALSE(order.empty());
    for (size_t i = 1; i < order.size(); ++i) {
        EXPECT_LT(order[i - 1], order[i]);
    }
}

INSTANTIATE_TEST_SUITE_P(DextModels, DextKernelNumbering, testing::Values(Model::Wrenlet, Model::Pyx),
                         [](const testing::TestParamInfo<Model>& info) {
                             return std::string(KorvanInterface::modelInfo(info.param).product);
                         });

} // namespace
