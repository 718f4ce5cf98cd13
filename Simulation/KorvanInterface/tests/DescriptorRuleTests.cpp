#include "KorvanTestSupport.h"

#include <KorvanInterface/RuleChecker.h>

#include <SimUSB/Setup.h>

#include <gtest/gtest.h>

using namespace KorvanInterface;

namespace {

struct ModelVariant
{
    Model model;
    VariantInfo variant;
};

std::vector<ModelVariant> everyModelAndVariant()
{
    std::vector<ModelVariant> all;
    for (Model model : kModels) {
        for (const VariantInfo& variant : variants()) {
            all.push_back({model, variant});
        }
    }
    return all;
}

class RuleCheckerTest : public testing::TestWithParam<ModelVariant>
{};

TEST_P(RuleCheckerTest, PassesValidSetsAndNamesTheBrokenRule)
{
    const auto& [model, variant] = GetParam();
    const DescriptorSet set = buildDescriptors(variantOptions(model, KorvanTests::kVendor, variant.variant));
    const std::vector<std::string> broken = brokenRules(set.configuration);
    if (*variant.brokenRule == 0) {
        EXPECT_TRUE(broken.empty()) << broken.front();
    } else {
        ASSERT_EQ(broken.size(), 1u) << broken.front();
        EXPECT_EQ(broken[0], variant.brokenRule);
    }
}

INSTANTIATE_TEST_SUITE_P(Models, RuleCheckerTest, testing::ValuesIn(everyModelAndVariant()),
                         [](const testing::TestParamInfo<ModelVariant>& info) {
                             return modelName(info.param.model) + info.param.variant.name;
                         });

TEST(RuleChecker, NamesEachRuleOnAHandBrokenSet)
{
    const std::vector<uint8_t> good =
        buildDescriptors(DescriptorOptions(Model::Tenor, KorvanTests::kVendor)).configuration;
    struct Breakage
    {
        const char* rule;
        void (*apply)(std::vector<uint8_t>&);
    };
    const Breakage breakages[] = {
        {"wTotalLength", [](std::vector<uint8_t>& c) { c[2] = uint8_t(c[2] + 1); }},
        {"bNumInterfaces", [](std::vector<uint8_t>& c) { c[4] = 4; }},
        // The AC header's wTotalLength sits at byte 6 of the header, which follows config, IAD, interface 0.
        {"AC header wTotalLength", [](std::vector<uint8_t>& c) { ++c[9 + 8 + 9 + 6]; }},
        // The clock source's id (first entity after the header) becomes 1.
        {"entity ids", [](std::vector<uint8_t>& c) { c[9 + 8 + 9 + 9 + 3] = 1; }},
        {"bLength", [](std::vector<uint8_t>& c) { c[9] = 0; }},
    };
    for (const Breakage& breakage : breakages) {
        std::vector<uint8_t> bad = good;
        breakage.apply(bad);
        const auto broken = brokenRules(bad);
        ASSERT_FALSE(broken.empty()) << breakage.rule;
        EXPECT_EQ(broken[0], breakage.rule);
    }
}

TEST(RuleChecker, RefusesATerminalLinkToAnythingButAStreamingTerminal)
{
    DescriptorOptions options(Model::Brio, KorvanTests::kVendor);
    std::vector<uint8_t> bytes = buildDescriptors(options).configuration;
    // Point the first AS_GENERAL (playback, alternate 1) at the speaker terminal 0x05.
    for (size_t at = 0; at + 4 < bytes.size(); at += bytes[at]) {
        if (bytes[at + 1] == 0x24 && bytes[at] == 16 && bytes[at + 2] == 1) {
            bytes[at + 3] = Entity::kPlaybackOutputTerminal;
            break;
        }
    }
    EXPECT_EQ(brokenRules(bytes), std::vector<std::string>{"bTerminalLink"});
}

struct SizeCase
{
    Model model;
    Family family;
    uint16_t in;
    uint16_t out;
};

TEST(Descriptors, MaxPacketsCoverTheFramesOfEachFamily)
{
    const SizeCase cases[] = {
        {Model::Wrenlet, Family::Single, 565, 616},
        {Model::Wrenlet, Family::Double, 629, 728},
        {Model::Wrenlet, Family::Quad, 805, 1000},
    };
    for (const SizeCase& c : cases) {
        const ChannelCounts counts = modelInfo(c.model).channels[int(c.family)];
        EXPECT_EQ(recordMaxPacket(counts.in, 4, c.family), c.in);
        EXPECT_EQ(playbackMaxPacket(counts.out, 4, c.family), c.out);
    }
}

TEST(Descriptors, PacketsAbove1024BytesTakeSeveralTransactions)
{
    const std::pair<uint32_t, uint16_t> cases[] = {
        {565, 565},     {1024, 1024}, {1025, 0x0800 | 513}, {2048, 0x0800 | 1024}, {3005, 0x1000 | 1002},
        {3072, 0x1400},
    };
    for (const auto& [bytes, encoded] : cases) {
        EXPECT_EQ(encodeMaxPacket(bytes), encoded) << bytes;
        EXPECT_GE(SimUSB::bytesPerMicroframe(encoded), bytes);
    }
}

TEST(Descriptors, ThirtyChannelsAt192kHzPassTheRules)
{
    DescriptorOptions options(Model::Pyx, KorvanTests::kVendor);
    options.channels[int(Family::Quad)] = {30, 30};
    const std::vector<std::string> broken = brokenRules(buildDescriptors(options).configuration);
    EXPECT_TRUE(broken.empty()) << broken.front();
}

TEST(Descriptors, ExactTotalsAreReached)
{
    for (Model model : kModels) {
        for (Variant variant : {Variant::Total2047, Variant::Total2048}) {
            const auto set = buildDescriptors(variantOptions(model, KorvanTests::kVendor, variant));
            const size_t expected = variant == Variant::Total2047 ? 2047 : 2048;
            EXPECT_EQ(set.configuration.size(), expected);
            EXPECT_EQ(set.configuration[2] | set.configuration[3] << 8, int(expected));
        }
    }
}

TEST(Descriptors, EveryStandardSetStaysBelow2048)
{
    for (Model model : kModels) {
        EXPECT_LT(buildDescriptors(DescriptorOptions(model, KorvanTests::kVendor)).configuration.size(),
                  2048u);
    }
}

TEST(Descriptors, DeviceDescriptorCarriesTheIdentity)
{
    DescriptorOptions options(Model::Pyx, 0xBEEF);
    options.idProduct = 13;
    const auto device = buildDescriptors(options).device;
    ASSERT_EQ(device.size(), 18u);
    EXPECT_EQ(device[8] | device[9] << 8, 0xBEEF);
    EXPECT_EQ(device[10] | device[11] << 8, 13);
    EXPECT_EQ(device[4], 0xEF);
    EXPECT_EQ(device[16], StringIndex::kSerial);
    EXPECT_EQ(buildDescriptors(variantOptions(Model::Pyx, 1, Variant::NoInterfaceAssociation)).device[4], 0);
    EXPECT_EQ(buildDescriptors(variantOptions(Model::Pyx, 1, Variant::NoSerial)).device[16], 0);
}

// The text of a string descriptor, as UTF-16 units decoded to UTF-8 bytes.
size_t utf8Length(const std::vector<uint8_t>& descriptor)
{
    size_t bytes = 0;
    for (size_t i = 2; i + 1 < descriptor.size(); i += 2) {
        const unsigned unit = descriptor[i] | descriptor[i + 1] << 8;
        bytes += unit < 0x80 ? 1 : unit < 0x800 ? 2 : 3;
    }
    return bytes;
}

TEST(Descriptors, StringVariantsProvokeWhatTheyAreFor)
{
    auto strings = [](Variant variant) {
        return buildDescriptors(variantOptions(Model::Wrenlet, KorvanTests::kVendor, variant)).strings;
    };
    EXPECT_GT((strings(Variant::LongSerial)[StringIndex::kSerial].size() - 2) / 2, 16u);
    EXPECT_GE(utf8Length(strings(Variant::LongProduct)[StringIndex::kProduct]), 65u);
    EXPECT_EQ(strings(Variant::NoSerial).count(StringIndex::kSerial), 0u);
    EXPECT_LT(strings(Variant::EmptySerialDescriptor)[StringIndex::kSerial][0], 3);
    const auto names = strings(Variant::LongChannelNames);
    const uint8_t first = StringIndex::kFirstChannelName;
    EXPECT_EQ((names.at(first).size() - 2) / 2, 31u);
    EXPECT_EQ((names.at(first + 1).size() - 2) / 2, 32u);
    EXPECT_EQ((names.at(first + 2).size() - 2) / 2, 40u);
    EXPECT_GT(utf8Length(names.at(first + 3)), 128u);
}

TEST(Descriptors, DefaultNamesSplitIntoCategoryAndNumber)
{
    EXPECT_EQ(defaultInputName(0), "Mic/Line/Inst In 1");
    EXPECT_EQ(defaultInputName(2), "Line In 3");
    EXPECT_EQ(defaultOutputName(0), "Main Out 1");
}

TEST(Descriptors, StringDescriptorsAreUtf16)
{
    EXPECT_EQ(stringDescriptor("A\xE2\x82\xAC"), (std::vector<uint8_t>{6, 3, 'A', 0, 0xAC, 0x20}));
}

TEST(Descriptors, SerialCutToAnyLengthKeepsItsLengthByte)
{
    for (uint8_t length : {0, 1, 2, 3, 7}) {
        DescriptorOptions options(Model::Wrenlet, KorvanTests::kVendor);
        options.serialDescriptorLength = length;
        const std::vector<uint8_t> serial = buildDescriptors(options).strings.at(StringIndex::kSerial);
        ASSERT_EQ(serial.size(), length);
        if (length > 0) {
            EXPECT_EQ(serial[0], length);
        }
    }
}

} // namespace
