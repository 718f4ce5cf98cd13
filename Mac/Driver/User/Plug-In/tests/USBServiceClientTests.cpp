#include "FakeKernelUserClient.h"
#include "LogLines.h"
#include "USBServiceClient.h"

#include <CoreFoundationTesting/RunLoop.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

using namespace KorvanDeviceIO;
using namespace PlugInTesting;

namespace {

struct Notification
{
    UInt32 fType;
    std::vector<UInt8> fData;
    UInt32 fLength;
    std::thread::id fThread;
};

void RecordNotification(void* user, UInt32 type, const UInt8* data, UInt32 length)
{
    static_cast<std::vector<Notification>*>(user)->push_back(
        {type, {data, data + length}, length, std::this_thread::get_id()});
}

class USBServiceClientTest : public testing::Test
{
protected:
    void SetUp() override
    {
        fService.publish();
        fClient = MakeClient(kAudioClientType);
    }

    std::unique_ptr<USBServiceClient> MakeClient(UInt32 type)
    {
        const io_service_t handle = fService.copyHandle();
        auto client = std::make_unique<USBServiceClient>(KorvanService(handle, KorvanService::kBusTypeUSB),
                                                         type, &fNotifications, RecordNotification);
        IOObjectRelease(handle);
        return client;
    }

    LogLines fLog;
    FakeKernelService fService{"client01"};
    std::vector<Notification> fNotifications;
    std::unique_ptr<USBServiceClient> fClient;
};

// Every call of the client, made with a plain request.
struct ClientCall
{
    const char* fName;
    uint32_t fSelector;
    std::function<bool(KorvanServiceClient&)> fCall;
};

std::vector<ClientCall> ClientCalls()
{
    return {
        {"GetDeviceInfo", kGetDeviceInfo,
         [](KorvanServiceClient& client) {
             DeviceInfoRequest request = {};
             return client.GetDeviceInfo(&request);
         }},
        {"SetProperty", kSetProperty, [](KorvanServiceClient& client) { return client.SetProperty(1, 2); }},
        {"GetProperty", kGetProperty,
         [](KorvanServiceClient& client) {
             UInt32 value = 0;
             return client.GetProperty(1, value);
         }},
        {"SendUACControlRequest", kSendUACControlRequest,
         [](KorvanServiceClient& client) {
             USBUACControlRequest request = {0, 1, 40, 4, {}};
             USBControlResponse response = {};
             return client.SendUACControlRequest(&request, &response);
         }},
        {"SendVendorControlRequest", kSendVendorControlRequest,
         [](KorvanServiceClient& client) {
             USBVendorControlRequest request = {1, 3, 0, 0, 2, {}};
             USBControlResponse response = {};
             return client.SendVendorControlRequest(&request, &response);
         }},
        {"SetUSBAudioRunState", kSetUSBAudioRunState,
         [](KorvanServiceClient& client) {
             USBAudioRunStateRequest request = {1, 1, 1, 6, 2, 1, 6};
             return client.SetUSBAudioRunState(&request);
         }},
        {"GetUSBConfig1Descriptors", kGetUSBConfig1Descriptors,
         [](KorvanServiceClient& client) {
             auto descriptors = std::make_unique<USBDescriptors>();
             return client.GetUSBConfig1Descriptors(descriptors.get());
         }},
        {"GetChannelNames", kGetChannelNames,
         [](KorvanServiceClient& client) {
             ChannelNamesRequest request = {1, 1, 2, 1};
             auto response = std::make_unique<ChannelNamesResponse>();
             return client.GetChannelNames(&request, response.get());
         }},
        {"GetStreamingHeadersVersion", kGetStreamingHeadersSupportedVersion,
         [](KorvanServiceClient& client) {
             UInt8 version = 7;
             return client.GetStreamingHeadersVersion(version);
         }},
        {"SetStreamingHeadersEnable", kSetStreamingHeadersEnable,
         [](KorvanServiceClient& client) {
             EnableStreamingHeadersRequest request = {2, 1};
             return client.SetStreamingHeadersEnable(&request);
         }},
    };
}

TEST_F(USBServiceClientTest, ClosedClientCallsNothing)
{
    for (const ClientCall& call : ClientCalls()) {
        EXPECT_FALSE(call.fCall(*fClient)) << call.fName;
    }
    UInt32 size = 0;
    EXPECT_EQ(fClient->GetAudioBuffer(kInputRingMemoryType, size), nullptr);
    EXPECT_TRUE(fService.calls().empty());
    EXPECT_TRUE(fLog.contains("SetProperty no connection"));
    EXPECT_FALSE(fClient->IsOpen());
}

TEST_F(USBServiceClientTest, EachCallPassesItsExactSizesAndReadsItsResult)
{
    struct Expected
    {
        bool fResult;
        const char* fLogLine;
    };
    const std::map<std::string, Expected> expected = {
        {"GetDeviceInfo", {true, nullptr}},
        {"SetProperty", {false, "SetProperty err e00002c2 err e00002c2"}},
        {"GetProperty", {true, nullptr}},
        {"SendUACControlRequest", {true, nullptr}},
        {"SendVendorControlRequest", {true, nullptr}},
        {"SetUSBAudioRunState", {true, nullptr}},
        {"GetUSBConfig1Descriptors", {true, nullptr}},
        {"GetChannelNames", {true, nullptr}},
        {"GetStreamingHeadersVersion", {false, nullptr}},
        {"SetStreamingHeadersEnable", {false, nullptr}},
    };
    ASSERT_TRUE(fClient->Open());
    for (const ClientCall& call : ClientCalls()) {
        SCOPED_TRACE(call.fName);
        const size_t before = fService.calls().size();
        EXPECT_EQ(call.fCall(*fClient), expected.at(call.fName).fResult);
        const std::vector<MethodCall> calls = fService.calls();
        ASSERT_EQ(calls.size(), before + 1);
        EXPECT_EQ(calls.back().fSelector, call.fSelector);
        EXPECT_EQ(calls.back().fClientType, kAudioClientType);
        EXPECT_EQ(calls.back().fInput.size(), kKernelMethods[call.fSelector].fInputBytes);
        EXPECT_EQ(calls.back().fOutputCapacity, kKernelMethods[call.fSelector].fOutputBytes);
        if (const char* line = expected.at(call.fName).fLogLine) {
            EXPECT_TRUE(fLog.contains(line)) << fLog.text();
        }
    }
}

TEST_F(USBServiceClientTest, FailuresByStatusAndTheirLogLines)
{
    ASSERT_TRUE(fClient->Open());
    UInt32 value = 17;
    fService.detachDevice();
    EXPECT_FALSE(fClient->GetProperty(1, value));
    EXPECT_EQ(value, 17u) << "stored only on success";
    USBUACControlRequest uac = {0, 1, 40, 4, {}};
    USBControlResponse response = {};
    EXPECT_FALSE(fClient->SendUACControlRequest(&uac, &response));
    EXPECT_TRUE(fLog.contains("SendUACControlRequest Error e00002bc"));
    USBAudioRunStateRequest run = {1, 1, 1, 6, 2, 1, 6};
    EXPECT_FALSE(fClient->SetUSBAudioRunState(&run));
    EXPECT_TRUE(fLog.contains("SetUSBAudioRunState Error e00002bc"));
}

TEST_F(USBServiceClientTest, RunStateFailsOnANonZeroStatus)
{
    ASSERT_TRUE(fClient->Open());
    fService.setRunStateStartResult(kIOReturnNoResources);
    USBAudioRunStateRequest run = {1, 1, 1, 6, 2, 1, 6};
    EXPECT_FALSE(fClient->SetUSBAudioRunState(&run));
    EXPECT_EQ(fService.runState(), 0u);
    fService.setRunStateStartResult(0);
    EXPECT_TRUE(fClient->SetUSBAudioRunState(&run));
    EXPECT_EQ(fService.runState(), 1u);
}

TEST_F(USBServiceClientTest, ValuesComeBackFromTheDriver)
{
    ASSERT_TRUE(fClient->Open());
    UInt32 value = 0;
    EXPECT_TRUE(fClient->GetProperty(kPropertyBuildNumber, value));
    EXPECT_EQ(value, kDriverBuildNumber);
    EXPECT_TRUE(fClient->GetProperty(9, value));
    EXPECT_EQ(value, kDefaultPropertyValue);
    DeviceInfoRequest info = {};
    EXPECT_TRUE(fClient->GetDeviceInfo(&info));
    EXPECT_EQ(NameFieldText(info.fUID), "client01");
    UInt8 version = 9;
    EXPECT_FALSE(fClient->GetStreamingHeadersVersion(version));
    EXPECT_EQ(version, 9) << "unchanged when the driver does not support headers";
}

TEST_F(USBServiceClientTest, RingsAreSharedWithTheDriver)
{
    ASSERT_TRUE(fClient->Open());
    for (UInt32 type : {kInputRingMemoryType, kOutputRingMemoryType}) {
        SCOPED_TRACE(type);
        UInt32 size = 0;
        auto* mapped = static_cast<UInt8*>(fClient->GetAudioBuffer(type, size));
        ASSERT_NE(mapped, nullptr);
        EXPECT_EQ(size, 11'550'080u);
        UInt8* driverSide = fService.ring(type);
        EXPECT_NE(mapped, driverSide);
        driverSide[RequestBlockOffset(19) + 7] = UInt8(0x5A + type);
        EXPECT_EQ(mapped[RequestBlockOffset(19) + 7], UInt8(0x5A + type));
        mapped[100] = 0xC3;
        EXPECT_EQ(driverSide[100], 0xC3);
        fClient->ReleaseAudioBuffer(mapped, type);
    }
    UInt32 size = 0;
    EXPECT_EQ(fClient->GetAudioBuffer(3, size), nullptr);
    fService.setZeroLengthMemory(true);
    EXPECT_EQ(fClient->GetAudioBuffer(kInputRingMemoryType, size), nullptr);
}

TEST_F(USBServiceClientTest, NotificationsReachTheCallbackOnTheOpenersThread)
{
    ASSERT_TRUE(fClient->Open());
    const UInt8 status[6] = {0, 1, 1, 0, 0, 40};
    fService.NotifyUserClient(0, status, sizeof(status));
    const UInt8 error[3] = {9, 8, 7};
    fService.NotifyUserClient(1, error, sizeof(error));
    CoreFoundationTesting::runUntilIdle();
    ASSERT_EQ(fNotifications.size(), 2u);
    EXPECT_EQ(fNotifications[0].fType, 0u);
    EXPECT_EQ(fNotifications[0].fLength, 6u);
    EXPECT_EQ(fNotifications[0].fData, std::vector<UInt8>(status, status + 6));
    EXPECT_EQ(fNotifications[0].fThread, std::this_thread::get_id());
    EXPECT_EQ(fNotifications[1].fType, 1u);
    EXPECT_EQ(fNotifications[1].fData, std::vector<UInt8>(error, error + 3));
    // Too long for the record: the driver does not send it.
    std::vector<UInt8> tooLong(4097, 1);
    fService.NotifyUserClient(0, tooLong.data(), UInt32(tooLong.size()));
    CoreFoundationTesting::runUntilIdle();
    EXPECT_EQ(fNotifications.size(), 2u);
    EXPECT_TRUE(fLog.contains("KorvanUserClient::NotifyUserClient NOT SENT\n"));
}

// Fault: the record's length was passed on without a look at what was received.
TEST_F(USBServiceClientTest, MalformedRecordsNeverReadPastWhatArrived)
{
    ASSERT_TRUE(fClient->Open());
    struct RawCase
    {
        size_t fSize;
        UInt32 fClaimedLength;
        bool fDelivered;
        UInt32 fDeliveredLength;
    };
    const RawCase cases[] = {
        {24, 0, false, 0},
        {32, 6, false, 0},
        {36, 6, true, 0},
        {44, 6, true, 6},
        {44, 4096, true, 8},
        {sizeof(NotificationRecord), 0xFFFFFFFF, true, 4096},
        {sizeof(NotificationRecord) + 100, 5000, true, 4096},
    };
    for (const RawCase& c : cases) {
        SCOPED_TRACE(c.fSize);
        fNotifications.clear();
        std::vector<UInt8> message(c.fSize, 0xEE);
        if (c.fSize >= 36) {
            const UInt32 type = 0;
            std::memcpy(message.data() + 28, &type, 4);
            std::memcpy(message.data() + 32, &c.fClaimedLength, 4);
        }
        fService.sendRaw(message.data(), message.size());
        CoreFoundationTesting::runUntilIdle();
        ASSERT_EQ(fNotifications.size(), c.fDelivered ? 1u : 0u);
        if (c.fDelivered) {
            EXPECT_EQ(fNotifications[0].fLength, c.fDeliveredLength);
        }
    }
    // A record handed in directly has no size: its length is capped at the payload area.
    fNotifications.clear();
    auto record = std::make_unique<NotificationRecord>();
    record->fType = 0;
    record->fLength = 100000;
    fClient->HandleUserClientCallBack(record.get());
    ASSERT_EQ(fNotifications.size(), 1u);
    EXPECT_EQ(fNotifications[0].fLength, 4096u);
}

TEST_F(USBServiceClientTest, OpenCloseAndRefusedOpen)
{
    ASSERT_TRUE(fClient->Open());
    EXPECT_TRUE(fClient->IsOpen());
    // The fake serves one 'IOIO' client at a time.
    std::unique_ptr<USBServiceClient> second = MakeClient(kAudioClientType);
    EXPECT_FALSE(second->Open());
    EXPECT_FALSE(second->IsOpen());
    EXPECT_TRUE(fLog.contains("Failed to open service\n"));
    EXPECT_EQ(fService.openCount(kAudioClientType), 1);
    fClient->Close();
    fClient->Close();
    EXPECT_FALSE(fClient->IsOpen());
    EXPECT_EQ(fService.openCount(kAudioClientType), 0);
    EXPECT_EQ(fClient->GetService().GetService(), 0u);
    EXPECT_FALSE(fClient->Open()) << "the service's handle went with the close";
    EXPECT_TRUE(fLog.contains("CLOSED USB service client"));
}

TEST_F(USBServiceClientTest, CallsAfterTerminationFailWithoutCrashing)
{
    ASSERT_TRUE(fClient->Open());
    fService.terminate();
    UInt32 value = 0;
    EXPECT_FALSE(fClient->GetProperty(1, value));
    UInt32 size = 0;
    EXPECT_EQ(fClient->GetAudioBuffer(kInputRingMemoryType, size), nullptr);
}

TEST(USBServiceClientStress, NotificationsArriveWhileAnotherThreadCloses)
{
    LogLines log;
    for (int round = 0; round < 20; ++round) {
        FakeKernelService service("stress01");
        service.publish();
        std::atomic<int> received{0};
        const io_service_t handle = service.copyHandle();
        USBServiceClient client(
            KorvanService(handle, KorvanService::kBusTypeUSB), kAudioClientType, &received,
            [](void* user, UInt32, const UInt8*, UInt32) { ++*static_cast<std::atomic<int>*>(user); });
        IOObjectRelease(handle);
        ASSERT_TRUE(client.Open());
        std::atomic<bool> closed{false};
        std::thread sender([&] {
            const UInt8 status[6] = {0, 1, 1, 0, 0, 40};
            while (!closed) {
                service.NotifyUserClient(0, status, sizeof(status));
            }
        });
        std::thread closer([&] {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            client.Close();
            closed = true;
        });
        // The main thread serves the notifications while the client closes.
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!closed && std::chrono::steady_clock::now() < limit) {
            CoreFoundationTesting::runUntilIdle();
        }
        ASSERT_TRUE(closed) << "Close did not return";
        closer.join();
        sender.join();
        CoreFoundationTesting::runUntilIdle();
        EXPECT_FALSE(client.IsOpen());
    }
}

} // namespace
