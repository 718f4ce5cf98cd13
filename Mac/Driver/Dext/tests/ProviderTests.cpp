#include "DextDevice.h"
#include "DextTestSupport.h"

#include <KorvanDeviceIO.h>
#include <USBDriverKit/USBTypes.h>

#include <Darwin/Clock.h>
#include <DarwinTesting/Eventually.h>
#include <DarwinTesting/LogCapture.h>
#include <DarwinTesting/ManualClock.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <optional>
#include <thread>
#include <vector>

namespace {

using namespace KorvanDeviceIO;
using DextTesting::DextDeviceTest;
using KorvanInterface::DescriptorOptions;
using KorvanInterface::KorvanDevice;
using KorvanInterface::Model;
using KorvanInterface::Variant;

using DextTesting::kBadArgument;
using DextTesting::kError;
constexpr IOReturn kUnsupported = static_cast<IOReturn>(0xE00002C7);
constexpr IOReturn kNoMemory = static_cast<IOReturn>(0xE00002BD);

class DextProvider : public DextDeviceTest
{
protected:
    void start(const DescriptorOptions& options, uint8_t headerVersion = 0)
    {
        attach(options, headerVersion);
        connect = open();
    }

    DeviceInfoRequest deviceInfo()
    {
        std::vector<uint8_t> output(4172, 0);
        size_t outputSize = output.size();
        EXPECT_EQ(call(0, nullptr, 0, output.data(), &outputSize), kIOReturnSuccess);
        DeviceInfoRequest info;
        std::memcpy(&info, output.data(), sizeof(info));
        return info;
    }

    uint8_t headerVersion()
    {
        std::vector<uint8_t> output(4104, 0);
        size_t outputSize = output.size();
        EXPECT_EQ(call(9, nullptr, 0, output.data(), &outputSize), kIOReturnSuccess);
        return output[4];
    }

    // A request and its result through the driver's method `selector`, the result in its dext form.
    template <typename Request, typename Result>
    IOReturn exchange(uint32_t selector, const Request& request, Result* result)
    {
        std::vector<uint8_t> output(sizeof(*result) + kDextReservedBytes, 0);
        size_t outputSize = output.size();
        const IOReturn status = call(selector, &request, sizeof(request), output.data(), &outputSize);
        std::memcpy(result, output.data(), sizeof(*result));
        return status;
    }

    IOReturn uacRequest(const USBUACControlRequest& request, USBControlResponse* response)
    {
        return exchange(4, request, response);
    }

    IOReturn vendorRequest(const USBVendorControlRequest& request, USBControlResponse* response)
    {
        return exchange(5, request, response);
    }

    IOReturn channelNames(const ChannelNamesRequest& request, ChannelNamesResponse* response)
    {
        return exchange(8, request, response);
    }

    std::vector<KorvanDevice::ControlRecord> requestsOf(uint8_t bRequest)
    {
        std::vector<KorvanDevice::ControlRecord> found;
        for (const auto& record : model->controlLog()) {
            if (record.setup.bRequest == bRequest && (record.setup.bmRequestType & 0x60) == 0x40) {
                found.push_back(record);
            }
        }
        return found;
    }
};

struct IdentityCase
{
    const char* name;
    Variant variant;
    const char* uid;
};

class DextProviderIdentity : public DextProvider, public testing::WithParamInterface<IdentityCase>
{};

TEST_P(DextProviderIdentity, UIDIsTheSerialLowerCasedAndTerminated)
{
    start(KorvanInterface::variantOptions(Model::Wrenlet, DextTesting::kVendor, GetParam().variant));
    EXPECT_EQ(NameFieldText(deviceInfo().fUID), GetParam().uid);
    EXPECT_EQ(DextTesting::stringProperty(service, "com_vork_driver_tide_device_UID"), GetParam().uid);
}

INSTANTIATE_TEST_SUITE_P(
    DextSerials, DextProviderIdentity,
    testing::Values(IdentityCase{"Standard", Variant::Standard, "ab12cd34"},
                    IdentityCase{"LongSerial", Variant::LongSerial, "ab12cd34ef56gh78"},
                    IdentityCase{"NoSerial", Variant::NoSerial, ""},
                    IdentityCase{"EmptySerialDescriptor", Variant::EmptySerialDescriptor, ""}),
    [](const testing::TestParamInfo<IdentityCase>& info) { return std::string(info.param.name); });

TEST_F(DextProvider, LongProductIsCutWithItsTerminator)
{
    DarwinTesting::LogCapture capture;
    const DescriptorOptions options =
        KorvanInterface::variantOptions(Model::Wrenlet, DextTesting::kVendor, Variant::LongProduct);
    start(options);

    EXPECT_EQ(NameFieldText(deviceInfo().fProductName), options.product.substr(0, 31));
    EXPECT_TRUE(
        DextTesting::logged(capture, "USBProvider Product " + options.product.substr(0, 64) + "\n ("));
}

struct VersionCase
{
    const char* name;
    uint8_t answer;
    std::optional<KorvanDevice::Misbehaviour> misbehaviour;
    uint8_t version;
};

class DextProviderHeaderVersion : public DextProvider, public testing::WithParamInterface<VersionCase>
{};

TEST_P(DextProviderHeaderVersion, IsTakenOnlyFromAOneByteAnswer)
{
    DextTesting::registerDextDrivers();
    model = std::make_shared<KorvanDevice>(DescriptorOptions(Model::Wrenlet, DextTesting::kVendor));
    model->setHeaderVersion(GetParam().answer);
    if (GetParam().misbehaviour) {
        model->misbehave({0xC0, 2, 0, 0}, *GetParam().misbehaviour);
    }
    SimUSB::Bus::shared().attach(kPort, model);
    service = DextTesting::waitForService("com_vork_driver_tide_control_interface");
    ASSERT_NE(service, 0u);
    connect = open();

    EXPECT_EQ(headerVersion(), GetParam().version);
}

INSTANTIATE_TEST_SUITE_P(
    DextAnswers, DextProviderHeaderVersion,
    testing::Values(
        VersionCase{"None", 0, std::nullopt, 0}, VersionCase{"One", 1, std::nullopt, 1},
        VersionCase{"Two", 2, std::nullopt, 2}, VersionCase{"Three", 3, std::nullopt, 0},
        VersionCase{"Stall", 2, KorvanDevice::Misbehaviour{KorvanDevice::Misbehaviour::Kind::Stall}, 0},
        VersionCase{"EmptyAnswer", 2,
                    KorvanDevice::Misbehaviour{KorvanDevice::Misbehaviour::Kind::Short, 0, 0}, 0}),
    [](const testing::TestParamInfo<VersionCase>& info) { return std::string(info.param.name); });

TEST_F(DextProvider, HeaderRequestsGoToTheDeviceOnAWrenletAndTheInterfaceOnAPyx)
{
    struct Case
    {
        Model model;
        uint8_t query;
        uint8_t enable;
    };
    for (const Case& c : {Case{Model::Wrenlet, 0xC0, 0x40}, Case{Model::Pyx, 0xC1, 0x41}}) {
        start(DescriptorOptions(c.model, DextTesting::kVendor), 2);
        EXPECT_EQ(enableHeaders(2), kIOReturnSuccess);
        EXPECT_TRUE(model->headerMode());
        const auto requests = requestsOf(2);
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[0].setup.bmRequestType, c.query);
        EXPECT_EQ(requests[1].setup.bmRequestType, c.enable);
        EXPECT_EQ(requests[1].setup.wValue, 1);
        TearDown();
        model.reset();
        service = 0;
        connect = 0;
    }
}

TEST_F(DextProvider, HeaderEnableChecksTheVersion)
{
    start(DescriptorOptions(Model::Wrenlet, DextTesting::kVendor), 1);
    EXPECT_EQ(enableHeaders(0), kBadArgument);
    EXPECT_EQ(enableHeaders(2), kUnsupported);
    EXPECT_FALSE(model->headerMode());
}

TEST_F(DextProvider, ConfigurationDescriptorsAreTheDevices)
{
    struct Case
    {
        Variant variant;
        IOReturn result;
        uint32_t length;
    };
    for (const Case& c :
         {Case{Variant::Standard, kIOReturnSuccess, 0}, Case{Variant::Total2047, kIOReturnSuccess, 2047},
          Case{Variant::Total2048, kNoMemory, 0}}) {
        start(KorvanInterface::variantOptions(Model::Wrenlet, DextTesting::kVendor, c.variant));
        std::vector<uint8_t> output(6148, 0);
        size_t outputSize = output.size();
        EXPECT_EQ(call(7, nullptr, 0, output.data(), &outputSize), c.result);
        if (c.result == kIOReturnSuccess) {
            USBDescriptors descriptors;
            std::memcpy(&descriptors, output.data(), sizeof(descriptors));
            const std::vector<uint8_t>& expected = model->descriptors().configuration;
            ASSERT_EQ(descriptors.fLength, expected.size());
            if (c.length != 0) {
                EXPECT_EQ(descriptors.fLength, c.length);
            }
            EXPECT_EQ(std::vector<uint8_t>(descriptors.fData, descriptors.fData + descriptors.fLength),
                      expected);
        }
        TearDown();
        model.reset();
        service = 0;
        connect = 0;
    }
}

TEST_F(DextProvider, StartsWithoutAStatusEndpoint)
{
    DarwinTesting::LogCapture capture;
    start(KorvanInterface::variantOptions(Model::Wrenlet, DextTesting::kVendor, Variant::NoStatusEndpoint));
    EXPECT_TRUE(DextTesting::logged(capture, "fUACInterface NO PIPE\n ("));
}

TEST_F(DextProvider, StopEndsTheEightStatusReads)
{
    DarwinTesting::LogCapture capture;
    start(DescriptorOptions(Model::Wrenlet, DextTesting::kVendor));
    IOServiceClose(connect);
    connect = 0;
    SimUSB::Bus::shared().detach(kPort);
    ASSERT_TRUE(DextTesting::waitForNoService("com_vork_driver_tide_control_interface"));
    model.reset();
    EXPECT_EQ(DextTesting::countLines(capture, "UACInReadCompletionProc - Error e00002eb"), 8u);
}

TEST_F(DextProvider, UACRequestEncodingAndAnswer)
{
    start(DescriptorOptions(Model::Wrenlet, DextTesting::kVendor));
    USBUACControlRequest request{};
    request.fControlSelector = 1;
    request.fEntityID = KorvanInterface::Entity::kClockSource;
    request.fLength = 4;
    USBControlResponse response{};

    ASSERT_EQ(uacRequest(request, &response), kIOReturnSuccess);

    const auto log = model->controlLog();
    ASSERT_FALSE(log.empty());
    const SimUSB::SetupPacket& setup = log.back().setup;
    EXPECT_EQ(setup.bmRequestType, 0xA1);
    EXPECT_EQ(setup.bRequest, 1);
    EXPECT_EQ(setup.wValue, 0x0100);
    EXPECT_EQ(setup.wIndex, 0x1000);
    EXPECT_EQ(setup.wLength, 4);
    EXPECT_EQ(response.fLength, 4);
    uint32_t rate = 0;
    std::memcpy(&rate, response.fData, 4);
    EXPECT_EQ(rate, 48000u);
}

TEST_F(DextProvider, UACSetSendsItsDataAndAStallReturnsNothing)
{
    start(DescriptorOptions(Model::Wrenlet, DextTesting::kVendor));
    USBUACControlRequest request{};
    request.fSet = 1;
    request.fControlSelector = 1;
    request.fEntityID = KorvanInterface::Entity::kClockSource;
    request.fLength = 4;
    const uint32_t rate = 96000;
    std::memcpy(request.fData, &rate, 4);
    USBControlResponse response{};
    ASSERT_EQ(uacRequest(request, &response), kIOReturnSuccess);
    EXPECT_EQ(model->sampleRate(), 96000u);

    model->misbehave({0xA1, 1, std::nullopt, std::nullopt},
                     KorvanDevice::Misbehaviour{KorvanDevice::Misbehaviour::Kind::Stall});
    request.fSet = 0;
    response.fLength = 9;
    EXPECT_NE(uacRequest(request, &response), kIOReturnSuccess);
    EXPECT_EQ(response.fLength, 0);
}

TEST_F(DextProvider, HangingDeviceFailsTheRequestAtItsTimeOut)
{
    start(DescriptorOptions(Model::Wrenlet, DextTesting::kVendor));
    model->misbehave({0xA1, 1, std::nullopt, std::nullopt},
                     KorvanDevice::Misbehaviour{KorvanDevice::Misbehaviour::Kind::Hang});
    USBUACControlRequest request{0, 1, KorvanInterface::Entity::kClockSource, 4, {}};
    USBControlResponse response{};
    response.fLength = 9;

    EXPECT_EQ(uacRequest(request, &response), kIOUSBTransactionTimeout);
    EXPECT_EQ(response.fLength, 0);
}

TEST_F(DextProvider, HangingDeviceFailsTheRequestAfter500msOfManualTime)
{
    using namespace std::chrono_literals;
    start(DescriptorOptions(Model::Wrenlet, DextTesting::kVendor));
    model->misbehave({0xA1, 1, std::nullopt, std::nullopt},
                     KorvanDevice::Misbehaviour{KorvanDevice::Misbehaviour::Kind::Hang});
    const size_t before = model->controlLog().size();

    // The call is under way before time stands still: an advance waits for what a driver queue was
    // handed on the manual clock, and this call's block waits for the advance.
    const uint64_t notBefore = DarwinClock::hostNow();
    USBControlResponse response{};
    response.fLength = 9;
    std::packaged_task<IOReturn()> request([&] {
        USBUACControlRequest get{0, 1, KorvanInterface::Entity::kClockSource, 4, {}};
        return uacRequest(get, &response);
    });
    std::future<IOReturn> status = request.get_future();
    std::thread caller(std::move(request));
    ASSERT_TRUE(DarwinTesting::eventually([&] { return model->controlLog().size() > before; }));
    std::optional<DarwinTesting::ManualClock> clock(std::in_place);
    const uint64_t reached = DarwinClock::hostNow();

    clock->advanceTo(notBefore + 499'000'000);
    EXPECT_EQ(status.wait_for(0s), std::future_status::timeout);
    clock->advanceTo(reached + 500'000'000);
    ASSERT_EQ(status.wait_for(DarwinTesting::kPollLimit), std::future_status::ready);
    caller.join();
    EXPECT_EQ(status.get(), kIOUSBTransactionTimeout);
    EXPECT_EQ(response.fLength, 0);

    // The status reads poll on the clock: the device goes before manual time ends.
    TearDown();
    model.reset();
    service = 0;
    connect = 0;
    clock.reset();
}

TEST_F(DextProvider, VendorTypesMapToRequestTypes)
{
    start(DescriptorOptions(Model::Wrenlet, DextTesting::kVendor));
    const uint8_t expected[] = {0x40, 0xC0, 0x41, 0xC1, 0x21, 0xA1};
    for (uint32_t type = 0; type < 6; ++type) {
        USBVendorControlRequest request{};
        request.fType = type;
        request.fRequest = 0x7E;
        USBControlResponse response{};
        vendorRequest(request, &response);
        const auto log = model->controlLog();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back().setup.bmRequestType, expected[type]) << "fType " << type;
        EXPECT_EQ(log.back().setup.bRequest, 0x7E);
    }
    const size_t before = model->controlLog().size();
    USBVendorControlRequest badType{};
    badType.fType = 6;
    USBVendorControlRequest badLength{};
    badLength.fLength = 17;
    USBControlResponse response{};
    EXPECT_EQ(vendorRequest(badType, &response), kBadArgument);
    EXPECT_EQ(vendorRequest(badLength, &response), kBadArgument);
    EXPECT_EQ(model->controlLog().size(), before);
}

TEST_F(DextProvider, ChannelNamesComeFromTheLinkedTerminals)
{
    start(DescriptorOptions(Model::Wrenlet, DextTesting::kVendor));
    ChannelNamesResponse response{};
    ASSERT_EQ(channelNames({KorvanInterface::kRecordInterface, 1, KorvanInterface::kPlaybackInterface, 1},
                           &response),
              kIOReturnSuccess);

    const auto& strings = model->descriptors().strings;
    auto text = [&](uint8_t index) {
        const std::vector<uint8_t>& d = strings.at(index);
        std::string utf8;
        for (size_t i = 2; i + 1 < d.size(); i += 2) {
            utf8 += char(d[i]);
        }
        return utf8;
    };
    EXPECT_EQ(NameFieldText(response.fInNames[0]), text(KorvanInterface::StringIndex::kFirstChannelName));
    EXPECT_FALSE(NameFieldText(response.fInNames[19]).empty());
    EXPECT_TRUE(NameFieldText(response.fInNames[20]).empty());
    EXPECT_FALSE(NameFieldText(response.fOutNames[21]).empty());
    EXPECT_TRUE(NameFieldText(response.fOutNames[22]).empty());

    EXPECT_EQ(channelNames({KorvanInterface::kRecordInterface, 9, KorvanInterface::kPlaybackInterface, 1},
                           &response),
              kError);
}

TEST_F(DextProvider, LongChannelNamesAreCutBetweenCharacters)
{
    start(KorvanInterface::variantOptions(Model::Wrenlet, DextTesting::kVendor, Variant::LongChannelNames));
    ChannelNamesResponse response{};
    ASSERT_EQ(channelNames({KorvanInterface::kRecordInterface, 1, KorvanInterface::kPlaybackInterface, 1},
                           &response),
              kIOReturnSuccess);
    std::string tenEuros;
    for (int i = 0; i < 10; ++i) {
        tenEuros += "\xE2\x82\xAC";
    }
    EXPECT_EQ(NameFieldText(response.fInNames[0]), "Thirty One Characters In Name 1");
    EXPECT_EQ(NameFieldText(response.fInNames[1]), "Thirty Two Characters In Names ");
    EXPECT_EQ(NameFieldText(response.fInNames[2]), "Forty Characters In This Channe");
    EXPECT_EQ(NameFieldText(response.fInNames[3]), tenEuros);
}

TEST_F(DextProvider, ChannelNameWalkFailures)
{
    for (Variant variant : {Variant::ThirtyThreeChannels, Variant::GeneralAboveTerminal}) {
        DarwinTesting::LogCapture capture;
        start(KorvanInterface::variantOptions(Model::Wrenlet, DextTesting::kVendor, variant));
        ChannelNamesResponse response{};
        EXPECT_EQ(channelNames({KorvanInterface::kRecordInterface, 1, KorvanInterface::kPlaybackInterface, 1},
                               &response),
                  kError);
        if (variant == Variant::GeneralAboveTerminal) {
            EXPECT_TRUE(DextTesting::logged(capture, "Assertion failed (numChannels <= itd->bNrChannels)"));
        }
        TearDown();
        model.reset();
        service = 0;
        connect = 0;
    }
}

} // namespace
