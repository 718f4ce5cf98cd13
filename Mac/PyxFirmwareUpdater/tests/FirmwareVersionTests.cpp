// Version headers, the device's mode and identity, and the server reply's two strings. The header
// fields were packed with Python's struct ('<III12s' at offset 12), not by the code under test.

#include "PyxUpdaterSupport.h"

#include <DownloadError.h>
#include <FirmwareVersion.h>
#include <JsonData.h>

#include <nlohmann/json.hpp>

using namespace PyxUpdaterTests;

namespace {

struct HeaderCase
{
    const char* name;
    std::array<uint8_t, 24> fields;
    std::string text;
};

FirmwareHeader headerWith(const std::array<uint8_t, 24>& fields)
{
    FirmwareHeader header{};
    std::fill(header.begin(), header.begin() + 12, uint8_t('H'));
    std::copy(fields.begin(), fields.end(), header.begin() + 12);
    std::fill(header.begin() + 36, header.end(), uint8_t(0xEE));
    return header;
}

class FirmwareVersionTable : public testing::TestWithParam<HeaderCase>
{};

} // namespace

TEST_P(FirmwareVersionTable, TextOfTheHeader)
{
    const HeaderCase& c = GetParam();
    const FirmwareHeader header = headerWith(c.fields);
    EXPECT_EQ(FirmwareVersion(header).toString(), c.text);
    EXPECT_EQ(FirmwareVersion::fromImage(header).toString(), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, FirmwareVersionTable,
    testing::Values(
        HeaderCase{"BuildWithNuls",
                   {0x01, 0, 0, 0, 0x02, 0, 0, 0, 0x03, 0, 0, 0, 0x61, 0x62, 0x63, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                   std::string("1.2.3+abc") + std::string(9, '\0')},
        HeaderCase{"Unsigned",
                   {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                   std::string("4294967295.0.0+") + std::string(12, '\0')},
        HeaderCase{"Zeros", {}, std::string("0.0.0+") + std::string(12, '\0')},
        HeaderCase{"FullBuild",
                   {0x0A, 0,    0,    0,    0x14, 0,    0,    0,    0x1E, 0,    0,    0,
                    0x62, 0x75, 0x69, 0x6C, 0x64, 0x2D, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36},
                   "10.20.30+build-123456"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FirmwareVersion, ImageShorterThanAHeaderIsAllZeros)
{
    const auto image = runImage(63);
    EXPECT_EQ(FirmwareVersion::fromImage(image).toString(), std::string("0.0.0+") + std::string(12, '\0'));
    EXPECT_EQ(FirmwareVersion::fromImage(runImage(64, 4)).toString(),
              Pyx::versionText({.minor = 4, .build = "test"}));
}

struct ModeCase
{
    uint16_t product;
    UpdateDevice::Mode mode;
};

class DeviceModes : public testing::TestWithParam<ModeCase>
{
protected:
    void TearDown() override { pyx.close(); }
    OpenedPyx pyx{15};
};

TEST_P(DeviceModes, ModeHeaderAndRebootByProduct)
{
    const ModeCase& c = GetParam();
    const auto image = runImage(3000, 3);
    pyx.unit().installImage(image);
    auto device = pyx.open(Pyx::kRunModeProductID);
    const DeviceWrapper real = device->getDevice();
    device->setDevice(DeviceWrapper(real.device(), c.product, "Pyx", "PYX0000001"));
    EXPECT_EQ(device->mode().index(), c.mode.index());
    EXPECT_EQ(device->isValid(), c.mode.index() != 0);
    const size_t before = pyx.unit().requestLog().size();
    const FirmwareHeader header = device->getFirmwareHeader();
    if (c.mode.index() == 0) {
        EXPECT_EQ(header, FirmwareHeader{});
        device->rebootIntoRecovery();
        EXPECT_EQ(pyx.unit().requestLog().size(), before);
    } else if (std::holds_alternative<UpdateDevice::RunMode>(c.mode)) {
        EXPECT_TRUE(std::equal(header.begin(), header.end(), image.begin()));
        EXPECT_EQ(device->getDescription().version.toString(), FirmwareVersion::fromImage(image).toString());
    }
}

INSTANTIATE_TEST_SUITE_P(Products, DeviceModes,
                         testing::Values(ModeCase{0x000E, UpdateDevice::RunMode{}},
                                         ModeCase{0x000F, UpdateDevice::RecoveryMode{}},
                                         ModeCase{0x000D, std::monostate{}}));

TEST(UpdateDevice, FailedRunModeHeaderReadStaysZerosUntilSetDevice)
{
    OpenedPyx pyx{15};
    pyx.unit().installImage(runImage(3000, 3));
    pyx.unit().failNext(Pyx::RequestKind::ReadHeader, 1, Pyx::PyxUnit::Failure::Stall);
    auto device = pyx.open(Pyx::kRunModeProductID);
    EXPECT_EQ(device->getDescription().version.toString(), std::string("0.0.0+") + std::string(12, '\0'));
    EXPECT_EQ(device->getDescription().version.toString(), std::string("0.0.0+") + std::string(12, '\0'));
    device->setDevice(device->getDevice());
    EXPECT_EQ(device->getDescription().version.toString(),
              FirmwareVersion::fromImage(runImage(3000, 3)).toString());
    // A null wrapper keeps the serial and the header.
    const std::string serial = device->lastSerial();
    device->setDevice(DeviceWrapper(std::shared_ptr<USBDevice>()));
    EXPECT_EQ(device->lastSerial(), serial);
    EXPECT_EQ(device->getDescription().version.toString(),
              FirmwareVersion::fromImage(runImage(3000, 3)).toString());
    pyx.close();
}

TEST(DeviceWrapper, EqualityIsTheHandleAlone)
{
    auto first = std::make_shared<USBDevice>();
    auto second = std::make_shared<USBDevice>();
    EXPECT_TRUE(DeviceWrapper(first, 1, "a", "S1") == DeviceWrapper(first, 2, "b", "S2"));
    EXPECT_FALSE(DeviceWrapper(first, 1, "a", "S1") == DeviceWrapper(second, 1, "a", "S1"));
    EXPECT_FALSE(DeviceWrapper(std::shared_ptr<TideDevice>()) == DeviceWrapper(std::shared_ptr<USBDevice>()));
    // Without a platform device the descriptor reads fail: product 0, no mode.
    const DeviceWrapper unread(first);
    EXPECT_EQ(unread.productId(), 0);
    EXPECT_FALSE(UpdateDevice(unread).isValid());
}

struct ReplyCase
{
    const char* name;
    std::string body;
    std::string version;
    std::string image;
};

class ServerReply : public testing::TestWithParam<ReplyCase>
{};

TEST_P(ServerReply, TwoStringsAfterTheirMarkers)
{
    const JsonData data(GetParam().body);
    EXPECT_EQ(data.version, GetParam().version);
    EXPECT_EQ(data.image, GetParam().image);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ServerReply,
    testing::Values(ReplyCase{"Normal", R"({"version": "1.1.0+sim", "image": "http://h/fw/a.bin"})",
                              "1.1.0+sim", "http://h/fw/a.bin"},
                    ReplyCase{"NoBlankAfterColon", R"({"version":"1.1.0", "image":"http://h/a"})", "", ""},
                    ReplyCase{"KeyTwice", R"({"version": "1", "version": "2", "image": "x"})", "1", "x"},
                    ReplyCase{"ValueOnNextLine", "{\"version\": \n\"1.0\"}", "", ""},
                    ReplyCase{"EscapedQuote", R"({"version": "a\"b"})", "a\\", ""},
                    ReplyCase{"NoImage", R"({"version": "2.0"})", "2.0", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ServerReply, AgreesWithAParserOnWellFormedRepliesWithoutEscapes)
{
    for (const auto& [version, image] :
         {std::pair{"1.0.0+abc", "http://x/fw/1"}, std::pair{"", "https://y/z"}, std::pair{"9.9.9", ""}}) {
        const nlohmann::json reply = {{"version", version}, {"image", image}, {"size", 12}};
        const JsonData data(reply.dump(2));
        EXPECT_EQ(data.version, reply["version"].get<std::string>());
        EXPECT_EQ(data.image, reply["image"].get<std::string>());
    }
}

TEST(DownloadError, Descriptions)
{
    EXPECT_EQ(DownloadError(DownloadError::NoInternet{}).getDescription().utf8_str(),
              "No internet connection");
    EXPECT_EQ(DownloadError(DownloadError::HTTPError{404}).getDescription().utf8_str(),
              "HTTP server status 404");
    EXPECT_EQ(DownloadError(DownloadError::HTTPError{-1}).getDescription().utf8_str(),
              "HTTP server status -1");
}
