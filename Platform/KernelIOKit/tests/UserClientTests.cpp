#include "userspace/UserSpaceClient.h"

#include <KernelIOKitTesting/KernelIOKitTesting.h>

#include <IOKit/IOBufferMemoryDescriptor.h>
#include <IOKit/IOUserClient.h>
#include <mach/message.h>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace {

constexpr UInt32 kToyType = 0x544F5953; // 'TOYS'

struct ToyCall
{
    int calls = 0;
    std::thread::id thread;
    uintptr_t inputSize = 0;
    IOByteCount outputCapacity = 0;
};

ToyCall& lastCall()
{
    static ToyCall call;
    return call;
}

// A 4140-byte notification in the kernel's layout.
#pragma pack(push, 4)
struct ToyMessage
{
    mach_msg_header_t header;
    uint32_t payload[1027];
};
#pragma pack(pop)
static_assert(sizeof(ToyMessage) == 4140);

class KernelIOKitToyUserClient : public IOUserClient
{
    OSDeclareDefaultStructors(KernelIOKitToyUserClient)

        public : IOReturn Method(void* input, void* output, void* inputSize, void* outputSize, void*, void*)
    {
        ToyCall& call = lastCall();
        ++call.calls;
        call.thread = std::this_thread::get_id();
        call.inputSize = reinterpret_cast<uintptr_t>(inputSize);
        call.outputCapacity = *static_cast<IOByteCount*>(outputSize);
        if (input && output && call.outputCapacity >= 4) {
            std::memcpy(output, input, 4);
        }
        return kIOReturnSuccess;
    }

    IOExternalMethod* getTargetAndMethodForIndex(IOService** target, UInt32 index) override
    {
        static IOExternalMethod methods[] = {
            {nullptr, IOMethod(&KernelIOKitToyUserClient::Method), kIOUCStructIStructO, 8, 4},
            {nullptr, IOMethod(&KernelIOKitToyUserClient::Method), kIOUCStructIStructO, 0, 8},
            {nullptr, IOMethod(&KernelIOKitToyUserClient::Method), kIOUCStructIStructO, 2, 0},
            {nullptr, IOMethod(&KernelIOKitToyUserClient::Method), kIOUCScalarIScalarO, 0, 0},
        };
        if (index >= std::size(methods)) {
            return nullptr;
        }
        *target = this;
        return &methods[index];
    }

    IOReturn registerNotificationPort(mach_port_t port, UInt32, UInt32 refCon) override
    {
        fPort = port;
        fRefCon = refCon;
        return kIOReturnSuccess;
    }

    IOReturn clientMemoryForType(UInt32 type, IOOptionBits* options, IOMemoryDescriptor** memory) override
    {
        if (type != 1) {
            return kIOReturnBadArgument;
        }
        *options = kIOMapAnywhere;
        fBuffer->retain();
        *memory = fBuffer;
        return kIOReturnSuccess;
    }

    IOReturn clientClose() override
    {
        ++fCloses;
        if (fTerminatesOnClose) {
            terminate();
        }
        return kIOReturnSuccess;
    }

    void free() override
    {
        OSSafeReleaseNULL(fBuffer);
        IOUserClient::free();
    }

    // Every byte of the body is its offset in the kernel message, modulo 251.
    kern_return_t send(mach_msg_option_t option = MACH_SEND_TIMEOUT)
    {
        alignas(8) ToyMessage message{};
        message.header.msgh_bits = 0x13;
        message.header.msgh_size = sizeof(message);
        message.header.msgh_remote_port = fPort;
        auto* bytes = reinterpret_cast<uint8_t*>(&message);
        for (size_t offset = sizeof(mach_msg_header_t); offset < sizeof(message); ++offset) {
            bytes[offset] = uint8_t(offset % 251);
        }
        message.payload[0] = fRefCon;
        return mach_msg_send_from_kernel_with_options(&message.header, sizeof(message), option, 0);
    }

    IOBufferMemoryDescriptor* fBuffer = nullptr;
    mach_port_t fPort = nullptr;
    UInt32 fRefCon = 0;
    int fCloses = 0;
    bool fTerminatesOnClose = true;
};

OSDefineMetaClassAndStructors(KernelIOKitToyUserClient, IOUserClient)

    class KernelIOKitToyProvider : public IOService
{
    OSDeclareDefaultStructors(KernelIOKitToyProvider)

        public : IOReturn newUserClient(task_t task, void* security, UInt32 type, OSDictionary* properties,
                                        IOUserClient** handler) override
    {
        if (type != kToyType) {
            return IOService::newUserClient(task, security, type, properties, handler);
        }
        auto* client = new KernelIOKitToyUserClient;
        if (!client->initWithTask(task, security, type) || !client->attach(this)) {
            client->release();
            return kIOReturnError;
        }
        client->fBuffer = IOBufferMemoryDescriptor::withCapacity(8192, kIODirectionInOut);
        client->retain();
        fClient = client;
        *handler = client;
        return kIOReturnSuccess;
    }

    void free() override
    {
        OSSafeReleaseNULL(fClient);
        IOService::free();
    }

    KernelIOKitToyUserClient* fClient = nullptr;
};

OSDefineMetaClassAndStructors(KernelIOKitToyProvider, IOService)

    using namespace KernelIOKitTestSupport;

class KernelIOKitUserClientTests : public testing::Test
{
protected:
    void SetUp() override
    {
        lastCall() = {};
        fLive = KernelIOKitTesting::liveObjects("OSObject");
        fService = new KernelIOKitToyProvider;
        ASSERT_TRUE(fService->init());
        fService->registerService();
        IOReturn result = kIOReturnError;
        fConnection = openConnection(KernelIOKitTesting::registryEntry(fService), kToyType, &result);
        ASSERT_EQ(result, kIOReturnSuccess);
        ASSERT_NE(fService->fClient, nullptr);
    }
    void TearDown() override
    {
        if (fConnection) {
            closeConnection(fConnection);
        }
        fService->terminate();
        OSSafeReleaseNULL(fService);
        EXPECT_EQ(KernelIOKitTesting::liveObjects("OSObject"), fLive);
    }

    int32_t fLive = 0;
    KernelIOKitToyProvider* fService = nullptr;
    uint32_t fConnection = 0;
};

TEST_F(KernelIOKitUserClientTests, ExactSizesReachTheMethodOnTheCallersThread)
{
    const uint8_t input[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t output[8] = {};
    size_t outputSize = 4;
    ASSERT_EQ(callStruct(fConnection, 0, input, 8, output, &outputSize), kIOReturnSuccess);
    EXPECT_EQ(lastCall().calls, 1);
    EXPECT_EQ(lastCall().thread, std::this_thread::get_id());
    EXPECT_EQ(lastCall().inputSize, 8u);
    EXPECT_EQ(lastCall().outputCapacity, 4u);
    EXPECT_EQ(outputSize, 4u);
    EXPECT_EQ(std::memcmp(output, input, 4), 0);
}

TEST_F(KernelIOKitUserClientTests, SizesOffByOneAndMissingEntriesAreRefusedWithoutACall)
{
    struct Case
    {
        uint32_t selector;
        size_t inputSize;
        size_t outputSize;
        IOReturn expected;
    };
    const Case cases[] = {
        {0, 8, 4, kIOReturnSuccess},
        {0, 7, 4, kIOReturnBadArgument},
        {0, 9, 4, kIOReturnBadArgument},
        {0, 8, 3, kIOReturnBadArgument},
        {0, 8, 5, kIOReturnBadArgument},
        {1, 0, 8, kIOReturnSuccess},
        {1, 1, 8, kIOReturnBadArgument},
        {1, 0, 7, kIOReturnBadArgument},
        {2, 2, 0, kIOReturnSuccess},
        {2, 2, 1, kIOReturnBadArgument},
        {3, 0, 0, kIOReturnBadArgument},
        {4, 0, 0, kIOReturnUnsupported},
        {0xFFFFFFFF, 0, 0, kIOReturnUnsupported},
    };
    uint8_t input[16] = {};
    uint8_t output[16] = {};
    for (const Case& c : cases) {
        const int before = lastCall().calls;
        size_t outputSize = c.outputSize;
        EXPECT_EQ(callStruct(fConnection, c.selector, c.inputSize ? input : nullptr, c.inputSize,
                             c.outputSize ? output : nullptr, &outputSize),
                  c.expected)
            << c.selector << " " << c.inputSize << "/" << c.outputSize;
        EXPECT_EQ(lastCall().calls - before, c.expected == kIOReturnSuccess ? 1 : 0) << c.selector;
    }
}

TEST_F(KernelIOKitUserClientTests, TheClientsMappingSeesTheDriversBytesAtAnotherAddress)
{
    uint64_t address = 0;
    uint64_t size = 0;
    ASSERT_EQ(mapMemory(fConnection, 1, &address, &size), kIOReturnSuccess);
    EXPECT_EQ(size, 8192u);
    auto* kernelBytes = static_cast<uint8_t*>(fService->fClient->fBuffer->getBytesNoCopy());
    EXPECT_NE(reinterpret_cast<uint8_t*>(address), kernelBytes);
    kernelBytes[8191] = 0x77;
    EXPECT_EQ(reinterpret_cast<uint8_t*>(address)[8191], 0x77);
    EXPECT_EQ(unmapMemory(fConnection, 1, address), kIOReturnSuccess);
    EXPECT_EQ(mapMemory(fConnection, 2, &address, &size), kIOReturnBadArgument);
}

TEST_F(KernelIOKitUserClientTests, AKernelMessageArrivesWithTheUserHeaderEveryByteEightEarlier)
{
    UserSpacePort port;
    ASSERT_EQ(setNotificationPort(fConnection, port.name(), 0x12345678), kIOReturnSuccess);
    ASSERT_EQ(fService->fClient->send(), KERN_SUCCESS);
    const std::vector<uint8_t> received = port.receive();
    ASSERT_EQ(received.size(), 4132u);
    uint32_t refCon = 0;
    std::memcpy(&refCon, received.data() + 24, 4);
    EXPECT_EQ(refCon, 0x12345678u);
    size_t mismatches = 0;
    for (size_t offset = 36; offset < 4140; ++offset) {
        mismatches += received[offset - 8] != uint8_t(offset % 251);
    }
    EXPECT_EQ(mismatches, 0u);
}

TEST_F(KernelIOKitUserClientTests, AFullQueueTimesOutAtOnceAndADestroyedPortIsNoDestination)
{
    UserSpacePort port;
    ASSERT_EQ(setNotificationPort(fConnection, port.name(), 0), kIOReturnSuccess);
    for (int message = 0; message < 5; ++message) {
        EXPECT_EQ(fService->fClient->send(), KERN_SUCCESS) << message;
    }
    EXPECT_EQ(fService->fClient->send(), MACH_SEND_TIMED_OUT);
    port.destroy();
    EXPECT_EQ(fService->fClient->send(), MACH_SEND_INVALID_DEST);
}

TEST_F(KernelIOKitUserClientTests, ClosingTheConnectionClosesTheClientOnce)
{
    KernelIOKitToyUserClient* client = fService->fClient;
    ASSERT_EQ(closeConnection(fConnection), kIOReturnSuccess);
    fConnection = 0;
    EXPECT_EQ(client->fCloses, 1);
    EXPECT_TRUE(client->isInactive());
    IOReturn result = kIOReturnSuccess;
    EXPECT_EQ(openConnection(KernelIOKitTesting::registryEntry(fService), 0x4E4F4E45, &result), 0u);
    EXPECT_EQ(result, kIOReturnUnsupported);
}

// The provider's termination lets go of a client whose connection closed while it stayed attached.
TEST_F(KernelIOKitUserClientTests, AClientClosedBeforeItsProviderTerminatesIsDetachedThen)
{
    KernelIOKitToyUserClient* client = fService->fClient;
    client->fTerminatesOnClose = false;
    ASSERT_EQ(closeConnection(fConnection), kIOReturnSuccess);
    fConnection = 0;
    EXPECT_EQ(client->getProvider(), fService);

    fService->terminate();

    EXPECT_EQ(client->getProvider(), nullptr);
}

} // namespace
