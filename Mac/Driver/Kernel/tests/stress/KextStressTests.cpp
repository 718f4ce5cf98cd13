#include <KextTestSupport.h>

#include <userspace/UserSpaceClient.h>

#include <KorvanRequestRing.h>

#include <atomic>
#include <thread>

namespace KextTesting {
namespace {

using namespace KorvanDeviceIO;
using namespace KernelIOKitTestSupport;

constexpr UInt32 kAudio = com_vork_driver_tide_userClient::kAudioClientType;

class KextStressTests : public KextFixture
{
protected:
    void SetUp() override
    {
        KextFixture::SetUp();
        plugIn(wrenlet());
        ASSERT_NE(startControl(false), nullptr);
        fLoop = fControl->getWorkLoop();
    }

    IOReturn runState(IOUserClient* client, uint32_t state)
    {
        const USBAudioRunStateRequest request{state, 2, 1, 80, 1, 1, 88};
        ErrorResult status{};
        IOByteCount size = sizeof(status);
        return client->callStructMethod(kSetUSBAudioRunState, &request, sizeof(request), &status, &size);
    }

    // A thread asking the client for the sample rate until `stop` is set.
    static std::thread askForTheRateUntil(IOUserClient* client, const std::atomic<bool>& stop)
    {
        return std::thread([client, &stop] {
            while (!stop.load()) {
                USBUACControlRequest rate{0, 1, 0x10, 4, {}};
                USBControlResponse response{};
                IOByteCount size = sizeof(response);
                client->callStructMethod(kSendUACControlRequest, &rate, sizeof(rate), &response, &size);
            }
        });
    }

    IOWorkLoop* fLoop = nullptr;
};

TEST_F(KextStressTests, ClosingTheAudioClientWhileStatusMessagesArrive)
{
    std::atomic<bool> stop{false};
    std::thread device([&] {
        while (!stop.load()) {
            fModel->sendStatus({0, 1, 0, 1, 0, 0x10});
        }
    });
    for (int round = 0; round < 50; ++round) {
        IOReturn opened = kIOReturnError;
        const uint32_t connection =
            openConnection(KernelIOKitTesting::registryEntry(fControl), kAudio, &opened);
        ASSERT_EQ(opened, kIOReturnSuccess);
        UserSpacePort port;
        setNotificationPort(connection, port.name(), uint32_t(round));
        ASSERT_EQ(closeConnection(connection), kIOReturnSuccess);
    }
    stop = true;
    device.join();
}

TEST_F(KextStressTests, ReRegisteringThePortWhileNotificationsAreSent)
{
    IOReturn opened = kIOReturnError;
    const uint32_t connection = openConnection(KernelIOKitTesting::registryEntry(fControl), kAudio, &opened);
    ASSERT_EQ(opened, kIOReturnSuccess);
    UserSpacePort first;
    UserSpacePort second;
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        const uint8_t status[6] = {0, 1, 0, 1, 0, 0x10};
        while (!stop.load()) {
            fLoop->closeGate();
            fControl->NotifyUserClient(kAudio, 0, status, sizeof(status));
            fLoop->openGate();
        }
    });
    for (int round = 0; round < 200; ++round) {
        setNotificationPort(connection, round % 2 ? first.name() : second.name(), uint32_t(round));
    }
    stop = true;
    sender.join();
    EXPECT_EQ(closeConnection(connection), kIOReturnSuccess);
}

TEST_F(KextStressTests, MethodsFromTwoThreadsAndStartStopCyclesWhileStreaming)
{
    IOUserClient* audio = nullptr;
    IOUserClient* test = nullptr;
    ASSERT_EQ(fControl->newUserClient(current_task(), nullptr, kAudio, nullptr, &audio), kIOReturnSuccess);
    ASSERT_EQ(fControl->newUserClient(current_task(), nullptr,
                                      com_vork_driver_tide_userClient::kTestClientType, nullptr, &test),
              kIOReturnSuccess);
    std::atomic<bool> stop{false};
    std::thread caller = askForTheRateUntil(test, stop);
    for (int cycle = 0; cycle < 4; ++cycle) {
        ASSERT_TRUE(DarwinTesting::startedWithin([&] { return runState(audio, 1) == kIOReturnSuccess; }));
        IOMemoryDescriptor* output = fControl->GetBufferDesc(2);
        const auto* block = static_cast<const USBRequestBlock*>(output->getKernelAddress());
        ASSERT_TRUE(DarwinTesting::eventually([&] { return ReadBlockHeader(block[0]).fEndByteCount != 0; }));
        output->release();
        ASSERT_EQ(runState(audio, 0), kIOReturnSuccess);
    }
    stop = true;
    caller.join();
    for (IOUserClient* client : {audio, test}) {
        client->clientClose();
        client->release();
    }
}

TEST_F(KextStressTests, AnUnplugInTheMiddleOfStreaming)
{
    IOUserClient* audio = nullptr;
    ASSERT_EQ(fControl->newUserClient(current_task(), nullptr, kAudio, nullptr, &audio), kIOReturnSuccess);
    ASSERT_TRUE(DarwinTesting::startedWithin([&] { return runState(audio, 1) == kIOReturnSuccess; }));
    IOMemoryDescriptor* input = fControl->GetBufferDesc(1);
    const auto* block = static_cast<const USBRequestBlock*>(input->getKernelAddress());
    ASSERT_TRUE(DarwinTesting::eventually([&] { return ReadBlockHeader(block[2]).fEndByteCount != 0; }));
    SimUSB::Bus::shared().detach(kPort);
    fDevice->terminate();
    // The provider went with the service; the client answers with a code.
    EXPECT_EQ(runState(audio, 0), kIOReturnError);
    // The ring the client mapped outlives the device.
    EXPECT_NE(ReadBlockHeader(block[2]).fEndByteCount, 0u);
    KernelIOKitTesting::closeConnection(audio);
    audio->release();
    input->release();
}

// Sleep and wake on the power thread while streaming and while the client asks for the rate.
TEST_F(KextStressTests, SleepAndWakeInTheMiddleOfStreaming)
{
    IOUserClient* audio = nullptr;
    ASSERT_EQ(fControl->newUserClient(current_task(), nullptr, kAudio, nullptr, &audio), kIOReturnSuccess);
    std::atomic<bool> stop{false};
    std::thread caller = askForTheRateUntil(audio, stop);
    IOMemoryDescriptor* output = fControl->GetBufferDesc(2);
    const auto* block = static_cast<const USBRequestBlock*>(output->getKernelAddress());
    for (int cycle = 0; cycle < 3; ++cycle) {
        ASSERT_EQ(runState(audio, 0), kIOReturnSuccess);
        ASSERT_TRUE(DarwinTesting::startedWithin([&] { return runState(audio, 1) == kIOReturnSuccess; }));
        const uint64_t before = ReadBlockHeader(block[0]).fHostTime;
        ASSERT_TRUE(DarwinTesting::eventually([&] { return ReadBlockHeader(block[0]).fHostTime != before; }));
        KernelIOKitTesting::setPowerState(fControl, 1);
        KernelIOKitTesting::setPowerState(fControl, 2);
    }
    stop = true;
    caller.join();
    output->release();
    KernelIOKitTesting::closeConnection(audio);
    audio->release();
}

} // namespace
} // namespace KextTesting
