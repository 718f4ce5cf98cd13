#include <KextTestSupport.h>

#include <userspace/UserSpaceClient.h>

#include <cstring>
#include <future>
#include <thread>

namespace KextTesting {
namespace {

using namespace KorvanDeviceIO;

constexpr UInt32 kAudio = com_vork_driver_tide_userClient::kAudioClientType;
constexpr UInt32 kTest = com_vork_driver_tide_userClient::kTestClientType;
constexpr uint32_t kError = uint32_t(kIOReturnError);

class KextUserClientTests : public KextFixture
{
protected:
    void SetUp() override
    {
        KextFixture::SetUp();
        plugIn(wrenlet());
        ASSERT_NE(startControl(), nullptr);
    }
    void TearDown() override
    {
        for (IOUserClient* client : fClients) {
            client->clientClose();
            client->release();
        }
        KextFixture::TearDown();
    }

    com_vork_driver_tide_userClient* open(UInt32 type)
    {
        IOUserClient* client = nullptr;
        EXPECT_EQ(fControl->newUserClient(current_task(), nullptr, type, nullptr, &client), kIOReturnSuccess);
        fClients.push_back(client);
        return OSDynamicCast(com_vork_driver_tide_userClient, client);
    }

    // A call with zeroed buffers of the given sizes.
    IOReturn call(IOUserClient* client, UInt32 selector, size_t inputSize, size_t outputSize,
                  const void* input = nullptr, void* output = nullptr)
    {
        std::vector<uint8_t> in(inputSize);
        std::vector<uint8_t> out(outputSize);
        if (input) {
            std::memcpy(in.data(), input, inputSize);
        }
        IOByteCount size = outputSize;
        const IOReturn result = client->callStructMethod(selector, inputSize ? in.data() : nullptr, inputSize,
                                                         outputSize ? out.data() : nullptr, &size);
        if (output) {
            std::memcpy(output, out.data(), outputSize);
        }
        return result;
    }

    size_t methodLines() const
    {
        size_t count = 0;
        for (const std::string& line : logLines()) {
            count += line.rfind("KorvanUserClient::", 0) == 0 && line.find("Port") == std::string::npos;
        }
        return count;
    }

    std::vector<IOUserClient*> fClients;
};

TEST_F(KextUserClientTests, ExactSizesReachTheMethodAndOneByteOffIsRefused)
{
    com_vork_driver_tide_userClient* client = open(kAudio);
    for (const MethodSizes& method : kKernelMethods) {
        const bool reachesProvider = method.fSelector < 8;
        for (const auto& [inDelta, outDelta] : {std::pair{0, 0}, {1, 0}, {0, 1}, {-1, 0}, {0, -1}}) {
            if ((inDelta < 0 && method.fInputBytes == 0) || (outDelta < 0 && method.fOutputBytes == 0)) {
                continue;
            }
            const size_t before = methodLines();
            const IOReturn result =
                call(client, method.fSelector, method.fInputBytes + inDelta, method.fOutputBytes + outDelta);
            const bool exact = inDelta == 0 && outDelta == 0;
            if (!exact) {
                EXPECT_EQ(result, kIOReturnBadArgument)
                    << method.fSelector << " " << inDelta << "/" << outDelta;
            } else if (!reachesProvider) {
                EXPECT_EQ(result, kIOReturnUnsupported) << method.fSelector;
            }
            EXPECT_EQ(methodLines() - before, exact && reachesProvider ? 1u : 0u) << method.fSelector;
        }
    }
    EXPECT_EQ(call(client, 10, 0, 0), kIOReturnUnsupported);
    EXPECT_EQ(call(client, 0xFFFFFFFF, 0, 0), kIOReturnUnsupported);
}

TEST_F(KextUserClientTests, PropertiesAnswerTheVersionAndNothingIsSettable)
{
    com_vork_driver_tide_userClient* client = open(kTest);
    for (const auto& [property, value] : {std::pair{1u, 95375u}, {7u, 0x2000000u}}) {
        const GetPropertyRequest request{property};
        GetPropertyResult result{1, 0};
        EXPECT_EQ(call(client, kGetProperty, sizeof(request), sizeof(result), &request, &result),
                  kIOReturnSuccess);
        EXPECT_EQ(result.fStatus, 0u);
        EXPECT_EQ(result.fValue, value);
    }
    const SetPropertyRequest request{1, 2};
    ErrorResult status{0};
    EXPECT_EQ(call(client, kSetProperty, sizeof(request), sizeof(status), &request, &status),
              kIOReturnBadArgument);
    EXPECT_EQ(status.fStatus, uint32_t(kIOReturnBadArgument));
}

TEST_F(KextUserClientTests, StreamingHeaderSelectorsAnswerWhileTheGateIsHeld)
{
    com_vork_driver_tide_userClient* client = open(kAudio);
    IOWorkLoop* loop = fControl->getWorkLoop();
    std::promise<void> held;
    std::promise<void> done;
    std::thread holder([&] {
        loop->closeGate();
        held.set_value();
        done.get_future().wait();
        loop->openGate();
    });
    held.get_future().wait();
    EXPECT_EQ(call(client, kGetStreamingHeadersSupportedVersion, 0, sizeof(StreamingHeadersResponse)),
              kIOReturnUnsupported);
    EXPECT_EQ(call(client, kSetStreamingHeadersEnable, sizeof(EnableStreamingHeadersRequest), 0),
              kIOReturnUnsupported);
    done.set_value();
    holder.join();
}

TEST_F(KextUserClientTests, RunStateChangesStartAndStopAudioOnlyForTheAudioClient)
{
    struct Step
    {
        UInt32 type;
        uint32_t requested;
        IOReturn startResult;
        uint32_t inBytesPerFrame;
        std::vector<std::string> calls;
        uint32_t status;
        IOReturn result;
    };
    const Step steps[] = {
        {kTest, 1, kIOReturnSuccess, 96, {}, kError, kIOReturnError},
        {kAudio, 0, kIOReturnSuccess, 96, {}, 0, kIOReturnSuccess},
        {kAudio, 1, kIOReturnError, 96, {"StartAudioDMA 2 1 96 1 1 88"}, kError, kIOReturnError},
        {kAudio, 1, kIOReturnSuccess, 96, {"StartAudioDMA 2 1 96 1 1 88"}, 0, kIOReturnSuccess},
        {kAudio, 1, kIOReturnSuccess, 96, {}, 0, kIOReturnSuccess},
        {kAudio, 2, kIOReturnSuccess, 96, {}, 0, kIOReturnSuccess},
        {kAudio, 0, kIOReturnSuccess, 96, {"StopAudioDMA"}, 0, kIOReturnSuccess},
    };
    com_vork_driver_tide_userClient* audio = open(kAudio);
    com_vork_driver_tide_userClient* test = open(kTest);
    KextRecordingProvider* provider = recording();
    for (const Step& step : steps) {
        provider->fCalls.clear();
        provider->fStartResult = step.startResult;
        const USBAudioRunStateRequest request{step.requested, 2, 1, step.inBytesPerFrame, 1, 1, 88};
        ErrorResult status{0xFFFFFFFF};
        EXPECT_EQ(call(step.type == kAudio ? audio : test, kSetUSBAudioRunState, sizeof(request),
                       sizeof(status), &request, &status),
                  step.result)
            << step.requested;
        EXPECT_EQ(status.fStatus, step.status) << step.requested;
        EXPECT_EQ(provider->fCalls, step.calls) << step.requested;
    }
    EXPECT_TRUE(logged("KorvanAudioUserClient setting run state audiostate to 1\n"));
}

TEST_F(KextUserClientTests, AfterCloseEveryMethodFailsAndMemoryIsNotAttached)
{
    com_vork_driver_tide_userClient* client = open(kAudio);
    ASSERT_EQ(client->clientClose(), kIOReturnSuccess);
    for (const MethodSizes& method : kKernelMethods) {
        if (method.fSelector < 8) {
            EXPECT_EQ(call(client, method.fSelector, method.fInputBytes, method.fOutputBytes), kIOReturnError)
                << method.fSelector;
        }
    }
    IOOptionBits options = 0;
    IOMemoryDescriptor* memory = nullptr;
    EXPECT_EQ(client->clientMemoryForType(1, &options, &memory), kIOReturnNotAttached);
}

TEST_F(KextUserClientTests, RingMemoryIsTheProvidersForTypesOneAndTwo)
{
    com_vork_driver_tide_userClient* client = open(kAudio);
    for (UInt32 type : {1u, 2u}) {
        IOOptionBits options = 0;
        IOMemoryDescriptor* memory = nullptr;
        ASSERT_EQ(client->clientMemoryForType(type, &options, &memory), kIOReturnSuccess) << type;
        EXPECT_EQ(options, IOOptionBits(kIOMapAnywhere));
        EXPECT_EQ(memory->getLength(), 11'550'080u);
        memory->release();
    }
    IOOptionBits options = 0;
    IOMemoryDescriptor* memory = nullptr;
    EXPECT_EQ(client->clientMemoryForType(3, &options, &memory), kIOReturnBadArgument);
    EXPECT_EQ(client->clientMemoryForType(1, nullptr, &memory), kIOReturnBadArgument);
}

TEST_F(KextUserClientTests, TheClientMapsTheRingsAndReceivesNotificationsThroughUserSpace)
{
    using namespace KernelIOKitTestSupport;
    IOReturn opened = kIOReturnError;
    const uint32_t connection = openConnection(KernelIOKitTesting::registryEntry(fControl), kAudio, &opened);
    ASSERT_EQ(opened, kIOReturnSuccess);

    uint64_t address = 0;
    uint64_t size = 0;
    ASSERT_EQ(mapMemory(connection, 1, &address, &size), kIOReturnSuccess);
    EXPECT_EQ(size, 11'550'080u);
    IOMemoryDescriptor* ring = recording()->GetBufferDesc(1);
    static_cast<uint8_t*>(ring->getKernelAddress())[100] = 0x42;
    EXPECT_EQ(reinterpret_cast<uint8_t*>(address)[100], 0x42);
    ring->release();

    const uint8_t status[6] = {0, 1, 0, 1, 0, 0x10};
    fControl->NotifyUserClient(kAudio, 0, status, sizeof(status));
    EXPECT_TRUE(logged("KorvanUserClient::NotifyUserClient NOT SENT\n"));

    UserSpacePort port;
    ASSERT_EQ(setNotificationPort(connection, port.name(), 0x12345678), kIOReturnSuccess);
    fControl->NotifyUserClient(kAudio, 0, status, sizeof(status));
    const std::vector<uint8_t> message = port.receive();
    ASSERT_EQ(message.size(), 4132u);
    NotificationRecord record;
    std::memcpy(&record, message.data(), sizeof(record));
    EXPECT_EQ(record.fReference, 0x12345678u);
    EXPECT_EQ(record.fType, 0u);
    EXPECT_EQ(record.fLength, 6u);
    EXPECT_EQ(std::memcmp(record.fData, status, 6), 0);

    for (int message = 0; message < 6; ++message) {
        fControl->NotifyUserClient(kAudio, 1, status, sizeof(status));
    }
    uint8_t tooLong[4097] = {};
    fControl->NotifyUserClient(kAudio, 1, tooLong, sizeof(tooLong));
    const auto lines = logLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "KorvanUserClient::NotifyUserClient NOT SENT\n"), 2);
    for (const std::string& line : lines) {
        EXPECT_EQ(line.find("msg_send returned"), std::string::npos) << line;
    }
    port.destroy();
    fControl->NotifyUserClient(kAudio, 1, status, sizeof(status));
    EXPECT_TRUE(logged("KorvanUserClient: NotifyUserClient() msg_send returned: 268435459:10000003\n"));
    EXPECT_EQ(closeConnection(connection), kIOReturnSuccess);
}

TEST_F(KextUserClientTests, ClosingWhileRunningStopsAudioThenGivesUpTheSlot)
{
    com_vork_driver_tide_userClient* client = open(kAudio);
    const USBAudioRunStateRequest request{1, 2, 1, 96, 1, 1, 88};
    ErrorResult status{};
    ASSERT_EQ(call(client, kSetUSBAudioRunState, sizeof(request), sizeof(status), &request, &status),
              kIOReturnSuccess);
    recording()->fCalls.clear();
    client->clientClose();
    EXPECT_EQ(recording()->fCalls, std::vector<std::string>{"StopAudioDMA"});
    EXPECT_TRUE(client->isInactive());
    const std::vector<std::string> lines = logLines();
    const std::vector<std::string> order{
        "KorvanUserClient::clientClose start\n", "KorvanUAC_Control::closing audio userClient\n",
        "userClient closed complete\n", "KorvanUserClient::clientClose end\n"};
    auto at = lines.begin();
    for (const std::string& line : order) {
        at = std::find(at, lines.end(), line);
        ASSERT_NE(at, lines.end()) << line;
    }
    fClients.clear();
    client->release();
    const std::vector<std::string> after = logLines();
    EXPECT_EQ(after[after.size() - 2], "+KorvanUserClient::free\n");
    EXPECT_EQ(after.back(), "-KorvanUserClient::free\n");
    IOUserClient* again = nullptr;
    ASSERT_EQ(fControl->newUserClient(current_task(), nullptr, kAudio, nullptr, &again), kIOReturnSuccess);
    fClients.push_back(again);
}

} // namespace
} // namespace KextTesting
