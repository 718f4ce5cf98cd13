#include <KextTestSupport.h>

#include <userspace/UserSpaceClient.h>

#include <cstring>

namespace KextTesting {
namespace {

using namespace KorvanDeviceIO;
using KorvanInterface::DescriptorOptions;
using KorvanInterface::Variant;

class KextProviderTests : public KextFixture
{
protected:
    com_vork_driver_tide_provider* start(const DescriptorOptions& options)
    {
        plugIn(options);
        KextTestControl* control = startControl(false);
        return control ? control->GetProvider() : nullptr;
    }
};

TEST_F(KextProviderTests, IdentityComesFromTheSerialAndProductStrings)
{
    struct Case
    {
        const char* name;
        std::optional<std::string> serial;
        std::optional<uint8_t> serialLength;
        std::string product;
        const char* uid;
        const char* productName;
    };
    const std::string longProduct(40, 'P');
    const Case cases[] = {
        {"mixed case", "AB12cd34", {}, "Wrenlet", "ab12cd34", "Wrenlet"},
        {"19 characters", "ABCDEFGHIJKLMNOPQRS", {}, "Wrenlet", "abcdefghijklmnop", "Wrenlet"},
        {"no serial", std::nullopt, {}, "Wrenlet", "", "Wrenlet"},
        {"two-byte serial", "AB12", 2, "Wrenlet", "", "Wrenlet"},
        {"long product", "AB12", {}, longProduct, "ab12", "PPPPPPPPPPPPPPPPPPPPPPPPPPPPPPP"},
    };
    for (const Case& c : cases) {
        DescriptorOptions options = wrenlet();
        options.serial = c.serial;
        options.serialDescriptorLength = c.serialLength;
        options.product = c.product;
        com_vork_driver_tide_provider* provider = start(options);
        ASSERT_NE(provider, nullptr) << c.name;
        EXPECT_STREQ(provider->GetGUID(), c.uid) << c.name;
        DeviceInfoRequest info{};
        std::memset(&info, 0x55, sizeof(info));
        ASSERT_EQ(provider->GetDeviceInfo(&info), kIOReturnSuccess);
        EXPECT_STREQ(info.fUID, c.uid) << c.name;
        EXPECT_STREQ(info.fProductName, c.productName) << c.name;
        EXPECT_EQ(info.fDeviceRelease, options.bcdDevice);
        EXPECT_EQ(info.fProductID, 12u);
        EXPECT_EQ(info.fReserved, 0u);
        EXPECT_EQ(provider->GetDeviceInfo(nullptr), kIOReturnBadArgument);
        TearDown();
        SetUp();
    }
}

TEST_F(KextProviderTests, ControlRequestsAreEncodedAsTheDeviceExpects)
{
    com_vork_driver_tide_provider* provider = start(wrenlet());
    ASSERT_NE(provider, nullptr);

    USBUACControlRequest rate{0, 1, 0x10, 4, {}};
    USBControlResponse response{};
    ASSERT_EQ(provider->SendUACControlRequest(&rate, &response), kIOReturnSuccess);
    EXPECT_EQ(response.fLength, 4);
    uint32_t hz = 0;
    std::memcpy(&hz, response.fData, 4);
    EXPECT_EQ(hz, 48000u);
    auto log = fModel->controlLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().setup, (SimUSB::SetupPacket{0xA1, 1, 0x0100, 0x1000, 4}));

    USBUACControlRequest set{1, 1, 0x10, 4, {}};
    const uint32_t newRate = 96000;
    std::memcpy(set.fData, &newRate, 4);
    EXPECT_EQ(provider->SendUACControlRequest(&set, &response), kIOReturnSuccess);
    log = fModel->controlLog();
    EXPECT_EQ(log.back().setup.bmRequestType, 0x21);
    EXPECT_EQ(log.back().data, std::vector<uint8_t>(set.fData, set.fData + 4));
    EXPECT_EQ(fModel->sampleRate(), 96000u);

    for (uint32_t type = 0; type < 6; ++type) {
        USBVendorControlRequest vendor{type, 2, 0, 0, 0, {}};
        provider->SendVendorControlRequest(&vendor, &response);
        EXPECT_EQ(fModel->controlLog().back().setup.bmRequestType, kVendorRequestTypes[type]) << type;
    }

    const size_t logged = fModel->controlLog().size();
    USBVendorControlRequest badType{6, 2, 0, 0, 1, {}};
    USBVendorControlRequest longVendor{1, 2, 0, 0, 17, {}};
    USBUACControlRequest longUAC{0, 1, 0x10, 17, {}};
    EXPECT_EQ(provider->SendVendorControlRequest(&badType, &response), kIOReturnBadArgument);
    EXPECT_EQ(provider->SendVendorControlRequest(&longVendor, &response), kIOReturnBadArgument);
    EXPECT_EQ(provider->SendUACControlRequest(&longUAC, &response), kIOReturnBadArgument);
    EXPECT_EQ(provider->SendUACControlRequest(nullptr, &response), kIOReturnBadArgument);
    EXPECT_EQ(fModel->controlLog().size(), logged);

    USBUACControlRequest unknown{0, 0x7F, 0x7F, 4, {}};
    response.fLength = 9;
    EXPECT_EQ(provider->SendUACControlRequest(&unknown, &response), kIOUSBPipeStalled);
    EXPECT_EQ(response.fLength, 0);
}

TEST_F(KextProviderTests, DescriptorsUpTo2047BytesComeBackWhole)
{
    for (const auto& [variant, expected] : {std::pair{Variant::Total2047, kIOReturnSuccess},
                                            std::pair{Variant::Total2048, kIOReturnNoMemory}}) {
        com_vork_driver_tide_provider* provider = start(wrenlet(variant));
        ASSERT_NE(provider, nullptr);
        USBDescriptors descriptors{};
        EXPECT_EQ(provider->GetUSBConfig1Descriptors(&descriptors), expected);
        if (expected == kIOReturnSuccess) {
            EXPECT_EQ(descriptors.fLength, 2047u);
            const std::vector<uint8_t>& bytes = fModel->descriptors().configuration;
            EXPECT_EQ(std::memcmp(descriptors.fData, bytes.data(), 2047), 0);
        }
        TearDown();
        SetUp();
    }
}

TEST_F(KextProviderTests, ChannelNamesFollowTheTerminals)
{
    struct Case
    {
        Variant variant;
        IOReturn expected;
        size_t longestName;
    };
    const Case cases[] = {
        {Variant::Standard, kIOReturnSuccess, 0},
        {Variant::LongChannelNames, kIOReturnSuccess, 31},
        {Variant::ThirtyThreeChannels, kIOReturnError, 0},
        {Variant::GeneralAboveTerminal, kIOReturnError, 0},
    };
    for (const Case& c : cases) {
        com_vork_driver_tide_provider* provider = start(wrenlet(c.variant));
        ASSERT_NE(provider, nullptr);
        const ChannelNamesRequest request{2, 1, 1, 1};
        ChannelNamesResponse response{};
        EXPECT_EQ(provider->GetChannelNames(&request, &response), c.expected) << int(c.variant);
        if (c.expected == kIOReturnSuccess) {
            EXPECT_NE(response.fInNames[0][0], 0);
            EXPECT_NE(response.fOutNames[0][0], 0);
            size_t longest = 0;
            for (const auto& name : response.fInNames) {
                EXPECT_EQ(name[31], 0);
                longest = std::max(longest, strnlen(name, 32));
            }
            if (c.longestName) {
                EXPECT_EQ(longest, c.longestName);
            }
        }
        if (c.variant == Variant::GeneralAboveTerminal) {
            EXPECT_TRUE(logged("ASSERTION FAILED: numChannels <= itd->bNrChannels ...\n"));
        }
        TearDown();
        SetUp();
    }
}

TEST_F(KextProviderTests, StatusPacketsReachTheAudioClient)
{
    ASSERT_NE(start(wrenlet()), nullptr);
    EXPECT_TRUE(logged("Got Control interrupt IN pipe maxPacketSize 6\n"));
    using namespace KernelIOKitTestSupport;
    IOReturn opened = kIOReturnError;
    const uint32_t connection = openConnection(KernelIOKitTesting::registryEntry(fControl),
                                               com_vork_driver_tide_userClient::kAudioClientType, &opened);
    ASSERT_EQ(opened, kIOReturnSuccess);
    UserSpacePort port;
    ASSERT_EQ(setNotificationPort(connection, port.name(), 0), kIOReturnSuccess);
    for (int change = 0; change < 10; ++change) {
        fModel->changeRateFromDevice(change % 2 ? 48000 : 96000);
        const std::vector<uint8_t> message = port.receive();
        ASSERT_EQ(message.size(), 4132u);
        NotificationRecord record;
        std::memcpy(&record, message.data(), sizeof(record));
        EXPECT_EQ(record.fType, 0u);
        ASSERT_EQ(record.fLength, 6u);
        const uint8_t expected[6] = {0, 1, 0, 1, 0, 0x10};
        EXPECT_EQ(std::memcmp(record.fData, expected, 6), 0);
    }
    EXPECT_EQ(closeConnection(connection), kIOReturnSuccess);
}

TEST_F(KextProviderTests, AReadThatCannotBeQueuedAgainIsLoggedAndTheStatusStillSent)
{
    ASSERT_NE(start(wrenlet()), nullptr);
    using namespace KernelIOKitTestSupport;
    IOReturn opened = kIOReturnError;
    const uint32_t connection = openConnection(KernelIOKitTesting::registryEntry(fControl),
                                               com_vork_driver_tide_userClient::kAudioClientType, &opened);
    ASSERT_EQ(opened, kIOReturnSuccess);
    UserSpacePort port;
    ASSERT_EQ(setNotificationPort(connection, port.name(), 0), kIOReturnSuccess);
    KernelIOKitTesting::failNextCalls(nullptr, KernelIOKitTesting::Call::IO, 1, kIOReturnNoResources);
    fModel->changeRateFromDevice(96000);
    EXPECT_EQ(port.receive().size(), 4132u);
    EXPECT_TRUE(logged("UAC IN IO ERR e00002be\n"));
    EXPECT_EQ(closeConnection(connection), kIOReturnSuccess);
}

TEST_F(KextProviderTests, BusStallDemandsAndEngineErrorsGoThroughTheControlService)
{
    auto* provider = OSDynamicCast(com_vork_driver_tide_usb_provider, start(wrenlet()));
    ASSERT_NE(provider, nullptr);
    provider->SetMaxBusStall(7);
    EXPECT_EQ(KernelIOKitTesting::maxBusStall(fControl), 7u);
    EXPECT_EQ(KernelIOKitTesting::maxInterruptDelay(fControl), 7u);
    provider->SetMaxBusStall(0);
    EXPECT_EQ(KernelIOKitTesting::maxBusStall(fControl), 0u);

    using namespace KernelIOKitTestSupport;
    IOReturn opened = kIOReturnError;
    const uint32_t connection = openConnection(KernelIOKitTesting::registryEntry(fControl),
                                               com_vork_driver_tide_userClient::kAudioClientType, &opened);
    ASSERT_EQ(opened, kIOReturnSuccess);
    UserSpacePort port;
    ASSERT_EQ(setNotificationPort(connection, port.name(), 0), kIOReturnSuccess);
    const uint8_t error[3] = {1, 2, 3};
    provider->PostAudioEngineError(error, sizeof(error));
    const std::vector<uint8_t> message = port.receive();
    ASSERT_EQ(message.size(), 4132u);
    NotificationRecord record;
    std::memcpy(&record, message.data(), sizeof(record));
    EXPECT_EQ(record.fType, uint32_t(kNotificationEngineError));
    EXPECT_EQ(record.fLength, 3u);
    EXPECT_EQ(closeConnection(connection), kIOReturnSuccess);
}

TEST_F(KextProviderTests, WithoutAStatusEndpointTheProviderStillStarts)
{
    ASSERT_NE(start(wrenlet(Variant::NoStatusEndpoint)), nullptr);
    EXPECT_TRUE(logged("fUACInterface NO PIPE\n"));
}

TEST_F(KextProviderTests, ZeroBytesPerFrameIsRefusedBeforeAnyInterfaceOpens)
{
    com_vork_driver_tide_provider* provider = start(wrenlet());
    ASSERT_NE(provider, nullptr);
    const size_t settings = fModel->interfaceLog().size();
    EXPECT_EQ(provider->StartAudioDMA(2, 1, 0, 1, 1, 88), kIOReturnBadArgument);
    EXPECT_EQ(provider->StartAudioDMA(2, 1, 96, 1, 1, 0), kIOReturnBadArgument);
    EXPECT_EQ(fModel->interfaceLog().size(), settings);
}

} // namespace
} // namespace KextTesting
