#include <KextTestSupport.h>

#include <userspace/UserSpaceClient.h>

#include <KorvanRequestRing.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

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

// Clients of both types opened, mapped and closed on four threads, a fifth mapping the client the
// others are closing, while the device goes away. The slots change hands only under the gate: no
// type is ever open twice, no client is released twice or left in a slot, and a map racing a close
// or the stop finds the control service there or gone, never half gone.
TEST_F(KextStressTests, ClientsOpenMapAndCloseWhileTheDeviceStops)
{
    constexpr UInt32 kTest = com_vork_driver_tide_userClient::kTestClientType;
    constexpr int kRounds = 5;
    // Opens before the device goes, in each round.
    constexpr int kOpensBeforeTheStop = 40;
    for (int round = 0; round < kRounds && !HasFailure(); ++round) {
        if (round > 0) {
            unplug();
            plugIn(wrenlet());
            ASSERT_NE(startControl(false), nullptr);
        }
        std::atomic<int> opens{0};
        std::atomic<bool> gone{false};
        std::atomic<int> openOfType[2] = {0, 0};
        std::atomic<int> twiceOpen{0};
        std::atomic<int> unexpectedMaps{0};
        // The client the mapper maps next, held for it.
        std::mutex sharedMutex;
        IOUserClient* shared = nullptr;
        auto map = [&](IOUserClient* client) {
            for (UInt32 type : {kInputRingMemoryType, kOutputRingMemoryType}) {
                IOOptionBits options = 0;
                IOMemoryDescriptor* memory = nullptr;
                const IOReturn result = client->clientMemoryForType(type, &options, &memory);
                if (result == kIOReturnSuccess) {
                    memory->release();
                } else if (result != kIOReturnNotAttached && result != kIOReturnBadArgument) {
                    ++unexpectedMaps;
                }
            }
        };
        auto opener = [&](UInt32 type) {
            std::atomic<int>& open = openOfType[type == kAudio ? 0 : 1];
            while (!gone.load()) {
                IOUserClient* client = nullptr;
                if (fControl->newUserClient(current_task(), nullptr, type, nullptr, &client) !=
                    kIOReturnSuccess) {
                    continue;
                }
                ++opens;
                if (++open > 1) {
                    ++twiceOpen;
                }
                {
                    std::lock_guard lock(sharedMutex);
                    OSSafeReleaseNULL(shared);
                    client->retain();
                    shared = client;
                }
                map(client);
                --open;
                KernelIOKitTesting::closeConnection(client);
                client->release();
            }
        };
        // An open in flight keeps the service's provider, as the system does while it calls the
        // service.
        fControlNub->retain();
        std::thread mapper([&] {
            while (!gone.load()) {
                IOUserClient* client = nullptr;
                {
                    std::lock_guard lock(sharedMutex);
                    std::swap(client, shared);
                }
                if (client) {
                    map(client);
                    client->release();
                }
            }
        });
        std::vector<std::thread> openers;
        for (UInt32 type : {kAudio, kAudio, kTest, kTest}) {
            openers.emplace_back(opener, type);
        }
        const bool opened = DarwinTesting::eventually([&] { return opens.load() >= kOpensBeforeTheStop; });
        fDevice->terminate();
        gone = true;
        for (std::thread& thread : openers) {
            thread.join();
        }
        mapper.join();
        OSSafeReleaseNULL(shared);
        fControlNub->release();
        EXPECT_TRUE(opened) << round;
        EXPECT_EQ(twiceOpen.load(), 0) << round;
        EXPECT_EQ(unexpectedMaps.load(), 0) << round;
    }
}

} // namespace
} // namespace KextTesting
