// The kernel extension's life with the plug-in's client open: an unplug and a system sleep in the
// middle of streaming.

#include "PnPWatcher.h"
#include "USBServiceClient.h"

#include <KernelIOKitTesting/KernelExtensionLoading.h>

#include <KorvanRequestRing.h>

#include <DarwinTesting/Eventually.h>
#include <DriverKitTesting/DriverKitTesting.h>
#include <KorvanDeviceIdentities.h>
#include <KorvanInterface/KorvanDevice.h>
#include <KorvanInterface/Variants.h>
#include <SimUSB/Bus.h>

#include <gtest/gtest.h>

#include <memory>

namespace {

using namespace KorvanDeviceIO;

constexpr uint8_t kPort = 12;

class KextLifecycleTests : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(KernelIOKitTesting::loadKernelExtension(KEXT_BUNDLE));
        fWatcher.Start();
        fModel = std::make_shared<KorvanInterface::KorvanDevice>(KorvanInterface::variantOptions(
            KorvanInterface::Model::Wrenlet, KorvanDeviceIdentities::kVendorID,
            KorvanInterface::Variant::Standard));
        SimUSB::Bus::shared().attach(kPort, fModel);
        ASSERT_TRUE(fWatcher.WaitForReports(1));
        const io_service_t service = fWatcher.Reports().front().fService;
        IOObjectRetain(service);
        fClient =
            std::make_unique<USBServiceClient>(KorvanService(service, KorvanService::kBusTypeUSB), 0x494F494F,
                                               nullptr, [](void*, UInt32, const UInt8*, UInt32) {});
        ASSERT_TRUE(fClient->Open());
        UInt32 size = 0;
        fIn = static_cast<USBRequestBlock*>(fClient->GetAudioBuffer(1, size));
        fOut = static_cast<USBRequestBlock*>(fClient->GetAudioBuffer(2, size));
        ASSERT_NE(fIn, nullptr);
        ASSERT_NE(fOut, nullptr);
    }

    void TearDown() override
    {
        if (fClient) {
            fClient->ReleaseAudioBuffer(fIn, 1);
            fClient->ReleaseAudioBuffer(fOut, 2);
            fClient.reset();
        }
        fWatcher.Stop();
        SimUSB::Bus::shared().detach(kPort);
        for (const char* className :
             {"com_vork_driver_tide_base_interface", "com_vork_driver_tide_userClient",
              "com_vork_driver_tide_provider", "IOUSBHostDevice", "IOUSBHostPipe"}) {
            EXPECT_TRUE(DarwinTesting::eventually([&] {
                return KernelIOKitTesting::liveObjects(className) == 0;
            })) << className
                << " " << KernelIOKitTesting::liveObjects(className) << " left";
        }
    }

    bool runState(uint32_t state)
    {
        USBAudioRunStateRequest request{
            state, KorvanInterface::kRecordInterface, 1, 80, KorvanInterface::kPlaybackInterface, 1, 88};
        return fClient->SetUSBAudioRunState(&request);
    }

    // Waits until the output ring holds a block written after `after`.
    bool outputAdvancesPast(uint64_t after)
    {
        return DarwinTesting::eventually([&] {
            for (size_t block = 0; block < kRequestBlockCount; ++block) {
                if (ReadBlockHeader(fOut[block]).fHostTime > after) {
                    return true;
                }
            }
            return false;
        });
    }

    uint64_t latestOutput() const
    {
        uint64_t latest = 0;
        for (size_t block = 0; block < kRequestBlockCount; ++block) {
            latest = std::max(latest, ReadBlockHeader(fOut[block]).fHostTime);
        }
        return latest;
    }

    PlugInTesting::PnPWatcher fWatcher;
    std::shared_ptr<KorvanInterface::KorvanDevice> fModel;
    std::unique_ptr<USBServiceClient> fClient;
    USBRequestBlock* fIn = nullptr;
    USBRequestBlock* fOut = nullptr;
};

TEST_F(KextLifecycleTests, AnUnplugWhileStreamingEndsTheServiceAndLeavesTheClientsCallsFailing)
{
    ASSERT_TRUE(DarwinTesting::startedWithin([&] { return runState(1); }));
    ASSERT_TRUE(outputAdvancesPast(0));

    SimUSB::Bus::shared().detach(kPort);

    ASSERT_TRUE(fWatcher.WaitForReports(2));
    EXPECT_FALSE(fWatcher.Reports()[1].fRegistered);
    DeviceInfoRequest info{};
    EXPECT_FALSE(fClient->GetDeviceInfo(&info));
    EXPECT_FALSE(runState(0));
    // The mappings stay readable until they are given back.
    const BlockHeader last = ReadBlockHeader(fOut[0]);
    EXPECT_NE(last.fHostTime, 0u);
}

TEST_F(KextLifecycleTests, SleepStopsAudioAtAlternateZeroAndRunStateStreamsAgainAfterWake)
{
    ASSERT_TRUE(DarwinTesting::startedWithin([&] { return runState(1); }));
    ASSERT_TRUE(outputAdvancesPast(0));

    DriverKitTesting::sleepSystem();
    EXPECT_EQ(fModel->alternate(KorvanInterface::kRecordInterface), 0);
    EXPECT_EQ(fModel->alternate(KorvanInterface::kPlaybackInterface), 0);
    DriverKitTesting::wakeSystem();

    const uint64_t beforeRestart = latestOutput();
    ASSERT_TRUE(runState(0));
    ASSERT_TRUE(DarwinTesting::startedWithin([&] { return runState(1); }));
    EXPECT_EQ(fModel->alternate(KorvanInterface::kRecordInterface), 1);
    EXPECT_TRUE(outputAdvancesPast(beforeRestart));
    EXPECT_TRUE(runState(0));
}

} // namespace
