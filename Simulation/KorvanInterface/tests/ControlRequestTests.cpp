#include "KorvanTestSupport.h"

#include <gtest/gtest.h>

using namespace KorvanInterface;
using KorvanTests::littleEndian;
using KorvanTests::request;
using SimUSB::ControlAnswer;
using Kind = SimUSB::ControlAnswer::Kind;

namespace {

struct RequestCase
{
    const char* name;
    uint16_t idProduct;
    uint8_t headerVersion;
    SimUSB::SetupPacket setup;
    std::vector<uint8_t> data;
    Kind kind;
    std::vector<uint8_t> answer;
};

class ControlRequestTest : public testing::TestWithParam<RequestCase>
{};

TEST_P(ControlRequestTest, IsAnsweredAsTheDeviceWould)
{
    const RequestCase& c = GetParam();
    DescriptorOptions options(Model::Pyx, KorvanTests::kVendor);
    options.idProduct = c.idProduct;
    KorvanDevice device(options);
    device.setHeaderVersion(c.headerVersion);
    request(device, {0x00, SimUSB::Request::kSetConfiguration, 1, 0, 0});
    const ControlAnswer answer = request(device, c.setup, c.data);
    EXPECT_EQ(answer.kind, c.kind);
    EXPECT_EQ(answer.data, c.answer);
}

const std::vector<uint8_t> none;

INSTANTIATE_TEST_SUITE_P(
    Requests, ControlRequestTest,
    testing::Values(
        RequestCase{"GetRate", 14, 1, {0xA1, 1, 0x0100, 0x1000, 4}, none, Kind::Data, littleEndian(48000)},
        RequestCase{"SetRate", 14, 1, {0x21, 1, 0x0100, 0x1000, 4}, littleEndian(96000), Kind::Ack, none},
        RequestCase{"SetRate32000Stalls",
                    14,
                    1,
                    {0x21, 1, 0x0100, 0x1000, 4},
                    littleEndian(32000),
                    Kind::Stall,
                    none},
        RequestCase{
            "SetRateShortStalls", 14, 1, {0x21, 1, 0x0100, 0x1000, 2}, {0x80, 0xBB}, Kind::Stall, none},
        RequestCase{
            "RateOnAnotherInterfaceStalls", 14, 1, {0xA1, 1, 0x0100, 0x1001, 4}, none, Kind::Stall, none},
        RequestCase{"GetPin", 14, 1, {0xA1, 1, 0x0100, 0x1100, 1}, none, Kind::Data, {1}},
        RequestCase{"SetPin", 14, 1, {0x21, 1, 0x0100, 0x1100, 1}, {1}, Kind::Ack, none},
        RequestCase{"SetPinOutOfRangeStalls", 14, 1, {0x21, 1, 0x0100, 0x1100, 1}, {2}, Kind::Stall, none},
        RequestCase{"UnknownEntityStalls", 14, 1, {0xA1, 1, 0x0100, 0x0500, 4}, none, Kind::Stall, none},
        RequestCase{"VersionAtProduct12", 12, 2, {0xC0, 2, 0, 0, 1}, none, Kind::Data, {2}},
        RequestCase{"VersionAtProduct14", 14, 1, {0xC1, 2, 0, 0, 1}, none, Kind::Data, {1}},
        RequestCase{"VersionWrongRecipientAt12", 12, 1, {0xC1, 2, 0, 0, 1}, none, Kind::Stall, none},
        RequestCase{"VersionWrongRecipientAt14", 14, 1, {0xC0, 2, 0, 0, 1}, none, Kind::Stall, none},
        RequestCase{"VersionThree", 14, 3, {0xC1, 2, 0, 0, 1}, none, Kind::Data, {3}},
        RequestCase{"EnableVersion0Stalls", 14, 0, {0x41, 2, 1, 0, 0}, none, Kind::Stall, none},
        RequestCase{"EnableVersion1", 14, 1, {0x41, 2, 1, 0, 0}, none, Kind::Ack, none},
        RequestCase{"EnableVersion2", 12, 2, {0x40, 2, 1, 0, 0}, none, Kind::Ack, none},
        RequestCase{"UnknownVendorStalls", 14, 1, {0xC1, 7, 0, 0, 1}, none, Kind::Stall, none},
        RequestCase{"UnknownStandardStalls", 14, 1, {0x00, 3, 1, 0, 0}, none, Kind::Stall, none},
        RequestCase{"SetInterface3", 14, 1, {0x01, 11, 3, 2, 0}, none, Kind::Ack, none},
        RequestCase{"SetInterface4Stalls", 14, 1, {0x01, 11, 4, 2, 0}, none, Kind::Stall, none},
        RequestCase{"ControlInterfaceAlternate1Stalls", 14, 1, {0x01, 11, 1, 0, 0}, none, Kind::Stall, none},
        RequestCase{"GetConfiguration", 14, 1, {0x80, 8, 0, 0, 1}, none, Kind::Data, {1}},
        RequestCase{"GetStatus", 14, 1, {0x80, 0, 0, 0, 2}, none, Kind::Data, {0, 0}}),
    [](const testing::TestParamInfo<RequestCase>& info) { return std::string(info.param.name); });

TEST(ControlRequests, RateAndPinStick)
{
    KorvanDevice device({Model::Brio, KorvanTests::kVendor});
    request(device, {0x00, 9, 1, 0, 0});
    request(device, {0x21, 1, 0x0100, 0x1000, 4}, littleEndian(176400));
    EXPECT_EQ(device.sampleRate(), 176400u);
    EXPECT_EQ(request(device, {0xA1, 1, 0x0100, 0x1000, 4}).data, littleEndian(176400));
}

TEST(ControlRequests, SecondClockSourceAllowsPinTwo)
{
    KorvanDevice device(variantOptions(Model::Brio, KorvanTests::kVendor, Variant::TwoClockSources));
    request(device, {0x00, 9, 1, 0, 0});
    EXPECT_EQ(request(device, {0x21, 1, 0x0100, 0x1100, 1}, {2}).kind, Kind::Ack);
    EXPECT_EQ(device.selectorPin(), 2);
}

TEST(ControlRequests, ReadOnlyClockRefusesASet)
{
    KorvanDevice device(variantOptions(Model::Brio, KorvanTests::kVendor, Variant::ReadOnlyClock));
    request(device, {0x00, 9, 1, 0, 0});
    EXPECT_EQ(request(device, {0x21, 1, 0x0100, 0x1000, 4}, littleEndian(96000)).kind, Kind::Stall);
    EXPECT_EQ(request(device, {0xA1, 1, 0x0100, 0x1000, 4}).kind, Kind::Data);
}

TEST(ControlRequests, SelectorWithoutSelectorStalls)
{
    KorvanDevice device(variantOptions(Model::Brio, KorvanTests::kVendor, Variant::NoClockSelector));
    request(device, {0x00, 9, 1, 0, 0});
    EXPECT_EQ(request(device, {0xA1, 1, 0x0100, 0x1100, 1}).kind, Kind::Stall);
}

TEST(ControlRequests, ForcedPinZeroIsReported)
{
    KorvanDevice device({Model::Brio, KorvanTests::kVendor});
    device.forceSelectorPin(0);
    EXPECT_EQ(request(device, {0xA1, 1, 0x0100, 0x1100, 1}).data, std::vector<uint8_t>{0});
}

TEST(ControlRequests, HeaderModeEndsWhenTheRecordInterfaceRests)
{
    KorvanDevice device({Model::Pyx, KorvanTests::kVendor});
    request(device, {0x00, 9, 1, 0, 0});
    request(device, {0x41, 2, 1, 0, 0});
    EXPECT_TRUE(device.headerMode());
    request(device, {0x01, 11, 1, kRecordInterface, 0});
    request(device, {0x01, 11, 1, kPlaybackInterface, 0});
    request(device, {0x01, 11, 0, kPlaybackInterface, 0});
    EXPECT_TRUE(device.headerMode());
    request(device, {0x01, 11, 0, kRecordInterface, 0});
    EXPECT_FALSE(device.headerMode());
    const std::vector<std::pair<uint8_t, uint8_t>> history{{2, 1}, {1, 1}, {1, 0}, {2, 0}};
    EXPECT_EQ(device.interfaceLog(), history);
}

TEST(ControlRequests, MismatchedFamilyIsAProtocolError)
{
    KorvanDevice device({Model::Pyx, KorvanTests::kVendor});
    request(device, {0x00, 9, 1, 0, 0});
    request(device, {0x01, 11, 1, kRecordInterface, 0});
    EXPECT_TRUE(device.protocolErrors().empty());
    request(device, {0x21, 1, 0x0100, 0x1000, 4}, littleEndian(96000));
    EXPECT_EQ(device.protocolErrors().size(), 1u);
}

using Misbehaviour = KorvanDevice::Misbehaviour;

struct KnobCase
{
    const char* name;
    Misbehaviour misbehaviour;
    Kind kind;
    std::vector<uint8_t> answer;
    uint64_t delay;
};

class KnobTest : public testing::TestWithParam<KnobCase>
{};

TEST_P(KnobTest, BendsTheMatchingRequest)
{
    const KnobCase& c = GetParam();
    KorvanDevice device({Model::Wrenlet, KorvanTests::kVendor});
    device.misbehave({0xC0, 2, std::nullopt, std::nullopt}, c.misbehaviour, 1);
    const ControlAnswer first = request(device, {0xC0, 2, 0, 0, 1});
    EXPECT_EQ(first.kind, c.kind);
    EXPECT_EQ(first.data, c.answer);
    EXPECT_EQ(first.delay, c.delay);
    // Only once.
    EXPECT_EQ(request(device, {0xC0, 2, 0, 0, 1}).data, std::vector<uint8_t>{1});
}

INSTANTIATE_TEST_SUITE_P(
    Knobs, KnobTest,
    testing::Values(KnobCase{"Stall", {Misbehaviour::Kind::Stall}, Kind::Stall, {}, 0},
                    KnobCase{"Hang", {Misbehaviour::Kind::Hang}, Kind::Hang, {}, 0},
                    KnobCase{"Late", {Misbehaviour::Kind::Late, 300'000'000}, Kind::Data, {1}, 300'000'000},
                    KnobCase{"ShortToNothing", {Misbehaviour::Kind::Short, 0, 0}, Kind::Data, {}, 0}),
    [](const testing::TestParamInfo<KnobCase>& info) { return std::string(info.param.name); });

TEST(ControlRequests, ShortGetCurAndStalledSetChangeWhatTheyShould)
{
    KorvanDevice device({Model::Wrenlet, KorvanTests::kVendor});
    request(device, {0x00, 9, 1, 0, 0});
    device.misbehave({0xA1, 1, 0x0100, 0x1000}, {Misbehaviour::Kind::Short, 0, 2});
    EXPECT_EQ(request(device, {0xA1, 1, 0x0100, 0x1000, 4}).data.size(), 2u);
    device.misbehave({0x21, 1, std::nullopt, std::nullopt}, {Misbehaviour::Kind::Stall});
    EXPECT_EQ(request(device, {0x21, 1, 0x0100, 0x1000, 4}, littleEndian(96000)).kind, Kind::Stall);
    EXPECT_EQ(device.sampleRate(), 48000u);
}

TEST(ControlRequests, LogKeepsRequestAndAnswer)
{
    KorvanDevice device({Model::Wrenlet, KorvanTests::kVendor});
    request(device, {0xC0, 2, 0, 0, 1});
    const auto log = device.controlLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].setup, (SimUSB::SetupPacket{0xC0, 2, 0, 0, 1}));
    EXPECT_EQ(log[0].answer, Kind::Data);
    EXPECT_EQ(log[0].answerData, std::vector<uint8_t>{1});
}

struct HookCase
{
    const char* name;
    SimUSB::SetupPacket setup;
    std::optional<Misbehaviour> misbehaviour;
    Kind kind;
    std::vector<uint8_t> answer;
};

class RequestHookTest : public testing::TestWithParam<HookCase>
{};

// The hook answers vendor requests to wIndex 7 and leaves the rest to the model.
TEST_P(RequestHookTest, AnswersBeforeTheModelAfterTheRules)
{
    const HookCase& c = GetParam();
    KorvanDevice device({Model::Wrenlet, KorvanTests::kVendor}, [](const SimUSB::SetupPacket& setup,
                                                                   std::span<const uint8_t>) {
        return setup.wIndex == 7 ? std::optional(ControlAnswer::withData({7, 7, 7})) : std::nullopt;
    });
    if (c.misbehaviour) {
        device.misbehave({c.setup.bmRequestType, c.setup.bRequest, std::nullopt, std::nullopt},
                         *c.misbehaviour);
    }
    const ControlAnswer answer = request(device, c.setup);
    EXPECT_EQ(answer.kind, c.kind);
    EXPECT_EQ(answer.data, c.answer);
    const auto log = device.controlLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].setup, c.setup);
    EXPECT_EQ(log[0].answerData, c.answer);
}

INSTANTIATE_TEST_SUITE_P(
    Hook, RequestHookTest,
    testing::Values(
        HookCase{"Hooked", {0xC0, 5, 0, 7, 16}, std::nullopt, Kind::Data, {7, 7, 7}},
        HookCase{"ModelKeepsHeaderQuery", {0xC0, 2, 0, 0, 1}, std::nullopt, Kind::Data, {1}},
        HookCase{"ModelStallsOtherVendor", {0xC0, 5, 0, 0, 16}, std::nullopt, Kind::Stall, {}},
        HookCase{
            "StalledByRule", {0xC0, 5, 0, 7, 16}, Misbehaviour{Misbehaviour::Kind::Stall}, Kind::Stall, {}},
        HookCase{"CutByRule",
                 {0xC0, 5, 0, 7, 16},
                 Misbehaviour{Misbehaviour::Kind::Short, 0, 2},
                 Kind::Data,
                 {7, 7}}),
    [](const testing::TestParamInfo<HookCase>& info) { return std::string(info.param.name); });

} // namespace
