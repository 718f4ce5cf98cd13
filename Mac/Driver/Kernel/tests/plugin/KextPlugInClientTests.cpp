// The plug-in's own client and service watcher on the kernel extension, matched from its bundle on a
// simulated Wrenlet, on the real clock.

#include "PnPWatcher.h"
#include "USBServiceClient.h"

#include <KernelIOKitTesting/KernelExtensionLoading.h>

#include <KorvanRequestRing.h>

#include <CoreFoundationTesting/RunLoop.h>
#include <DarwinTesting/Eventually.h>
#include <DarwinTesting/ManualClock.h>
#include <KorvanDeviceIdentities.h>
#include <KorvanInterface/KorvanDevice.h>
#include <KorvanInterface/Variants.h>
#include <SimUSB/Bus.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace KorvanDeviceIO;
using namespace std::chrono_literals;

constexpr uint8_t kPort = 10;
constexpr UInt32 kAudioClient = 0x494F494F; // 'IOIO'

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

class KextPlugInClientTests : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(KernelIOKitTesting::loadKernelExtension(KEXT_BUNDLE)); }

    void TearDown() override
    {
        fClient.reset();
        fWatcher.Stop();
        SimUSB::Bus::shared().detach(kPort);
        EXPECT_TRUE(DarwinTesting::eventually([] {
            return KernelIOKitTesting::liveObjects("com_vork_driver_tide_base_interface") == 0 &&
                   KernelIOKitTesting::liveObjects("com_vork_driver_tide_userClient") == 0;
        })) << "the driver's objects outlived the device";
    }

    void plugIn()
    {
        fModel = std::make_shared<KorvanInterface::KorvanDevice>(KorvanInterface::variantOptions(
            KorvanInterface::Model::Wrenlet, KorvanDeviceIdentities::kVendorID,
            KorvanInterface::Variant::Standard));
        SimUSB::Bus::shared().attach(kPort, fModel);
    }

    // The plug-in's client on the service the watcher reported, opened on this thread.
    void open()
    {
        fWatcher.Start();
        plugIn();
        ASSERT_TRUE(fWatcher.WaitForReports(1));
        const PlugInTesting::ServiceReport report = fWatcher.Reports().front();
        IOObjectRetain(report.fService);
        fClient = std::make_unique<USBServiceClient>(
            KorvanService(report.fService, KorvanService::kBusTypeUSB), kAudioClient, &fReceived, record);
        ASSERT_TRUE(fClient->Open());
    }

    // Serves this thread's run loop until `count` notifications came; false after the deadline.
    bool waitForNotifications(size_t count)
    {
        return DarwinTesting::eventually([&] {
            CoreFoundationTesting::runUntilIdle();
            return fReceived.size() >= count;
        });
    }

    // The UID property of the driver's control service, empty while there is none.
    static std::string publishedUID()
    {
        io_iterator_t services = 0;
        if (IOServiceGetMatchingServices(kIOMainPortDefault,
                                         IOServiceMatching("com_vork_driver_tide_control_interface"),
                                         &services) != KERN_SUCCESS) {
            return {};
        }
        std::string uid;
        while (io_service_t service = IOIteratorNext(services)) {
            uid = KorvanService::GetIORegStringProperty(service, CFSTR(kKorvanDeviceUIDProperty));
            IOObjectRelease(service);
        }
        IOObjectRelease(services);
        return uid;
    }

    PlugInTesting::PnPWatcher fWatcher;
    std::shared_ptr<KorvanInterface::KorvanDevice> fModel;
    std::vector<Received> fReceived;
    std::unique_ptr<USBServiceClient> fClient;
};

// The driver sets the UID after it registers, and on a loaded machine it takes longer to start than
// the watcher's pause. On the manual clock the pause ends only once the driver has set the UID, so
// the watcher's one re-read finds it.
TEST_F(KextPlugInClientTests, TheServiceIsReportedOnceWithItsUID)
{
    DarwinTesting::ManualClock clock;
    fWatcher.Start();
    plugIn();
    ASSERT_TRUE(DarwinTesting::eventually([] { return publishedUID() == "ab12cd34"; }));
    clock.advance(100ms);
    ASSERT_TRUE(fWatcher.WaitForReports(1));
    SimUSB::Bus::shared().detach(kPort);
    ASSERT_TRUE(fWatcher.WaitForReports(2));
    const std::vector<PlugInTesting::ServiceReport> reports = fWatcher.Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_TRUE(reports[0].fRegistered);
    EXPECT_EQ(reports[0].fUID, "ab12cd34");
    EXPECT_FALSE(reports[1].fRegistered);
}

TEST_F(KextPlugInClientTests, InformationRequestsDescriptorsAndNamesMatchTheModel)
{
    open();
    DeviceInfoRequest info{};
    ASSERT_TRUE(fClient->GetDeviceInfo(&info));
    EXPECT_EQ(NameFieldText(info.fUID), "ab12cd34");
    EXPECT_EQ(NameFieldText(info.fProductName),
              KorvanInterface::modelInfo(KorvanInterface::Model::Wrenlet).product);
    EXPECT_EQ(info.fProductID, 12u);
    EXPECT_FALSE(fClient->SetProperty(1, 2));
    UInt32 value = 0;
    ASSERT_TRUE(fClient->GetProperty(1, value));
    EXPECT_EQ(value, 95375u);

    USBUACControlRequest get{0, 1, KorvanInterface::Entity::kClockSource, 4, {}};
    USBControlResponse response{};
    ASSERT_TRUE(fClient->SendUACControlRequest(&get, &response));
    uint32_t rate = 0;
    std::memcpy(&rate, response.fData, 4);
    EXPECT_EQ(rate, 48000u);

    auto descriptors = std::make_unique<USBDescriptors>();
    ASSERT_TRUE(fClient->GetUSBConfig1Descriptors(descriptors.get()));
    EXPECT_EQ(std::vector<uint8_t>(descriptors->fData, descriptors->fData + descriptors->fLength),
              fModel->descriptors().configuration);
    ChannelNamesRequest request{KorvanInterface::kRecordInterface, 1, KorvanInterface::kPlaybackInterface, 1};
    auto names = std::make_unique<ChannelNamesResponse>();
    ASSERT_TRUE(fClient->GetChannelNames(&request, names.get()));
    EXPECT_EQ(NameFieldText(names->fInNames[0]), KorvanInterface::defaultInputName(0));
    EXPECT_EQ(NameFieldText(names->fOutNames[0]), KorvanInterface::defaultOutputName(0));

    // This driver has no streaming headers: the client goes on without them.
    UInt8 version = 9;
    EXPECT_FALSE(fClient->GetStreamingHeadersVersion(version));
    EXPECT_FALSE(fModel->headerMode());
}

TEST_F(KextPlugInClientTests, RunStateStreamsIntoTheMappedRingsAndStopsAtAlternateZero)
{
    open();
    UInt32 inSize = 0;
    UInt32 outSize = 0;
    auto* in = static_cast<USBRequestBlock*>(fClient->GetAudioBuffer(1, inSize));
    auto* out = static_cast<USBRequestBlock*>(fClient->GetAudioBuffer(2, outSize));
    ASSERT_NE(in, nullptr);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(inSize, 11'550'080u);
    EXPECT_EQ(outSize, 11'550'080u);

    USBAudioRunStateRequest start{
        1, KorvanInterface::kRecordInterface, 1, 80, KorvanInterface::kPlaybackInterface, 1, 88};
    ASSERT_TRUE(DarwinTesting::startedWithin([&] { return fClient->SetUSBAudioRunState(&start); }));
    ASSERT_TRUE(DarwinTesting::eventually([&] {
        return ReadBlockHeader(in[3]).fEndByteCount != 0 && ReadBlockHeader(out[3]).fHostTime != 0;
    })) << "the mapped ring headers never advanced";
    EXPECT_EQ(ReadBlockHeader(in[3]).fStartByteCount, ReadBlockHeader(in[2]).fEndByteCount);
    EXPECT_EQ(ReadBlockHeader(out[3]).fStartByteCount, ReadBlockHeader(out[2]).fEndByteCount);
    EXPECT_GT(ReadBlockHeader(out[3]).fHostTime, ReadBlockHeader(out[2]).fHostTime);

    USBAudioRunStateRequest stop{};
    ASSERT_TRUE(fClient->SetUSBAudioRunState(&stop));
    EXPECT_EQ(fModel->alternate(KorvanInterface::kRecordInterface), 0);
    EXPECT_EQ(fModel->alternate(KorvanInterface::kPlaybackInterface), 0);
    fClient->ReleaseAudioBuffer(in, 1);
    fClient->ReleaseAudioBuffer(out, 2);
}

TEST_F(KextPlugInClientTests, ADeviceRateChangeArrivesOnTheOpenersThread)
{
    open();
    fModel->changeRateFromDevice(96000);
    ASSERT_TRUE(waitForNotifications(1));
    EXPECT_EQ(fReceived[0].type, 0u);
    EXPECT_EQ(fReceived[0].data, (std::vector<UInt8>{0x00, 0x01, 0x00, 0x01, 0x00, 0x10}));
    EXPECT_EQ(fReceived[0].thread, std::this_thread::get_id());
}

} // namespace
