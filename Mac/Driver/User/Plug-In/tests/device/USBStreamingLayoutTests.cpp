#include "DescriptorFixtures.h"
#include "USBStreamingLayout.h"

#include <KorvanInterface/Identity.h>
#include <gtest/gtest.h>

#include <ostream>

using namespace KorvanInterface;
using namespace DeviceTesting;

bool operator==(const IsocFamilyInfo& a, const IsocFamilyInfo& b)
{
    return a.fAlt == b.fAlt && a.fNumCh == b.fNumCh && a.fMaxPacket == b.fMaxPacket;
}

std::ostream& operator<<(std::ostream& stream, const IsocFamilyInfo& info)
{
    return stream << "{alt " << int(info.fAlt) << ", " << int(info.fNumCh) << " ch, " << info.fMaxPacket
                  << " bytes}";
}

namespace {

struct Layout
{
    uint8_t interface;
    IsocFamilyInfo families[3];
};

// What the builder puts in each family when every alternate is there.
Layout Standard(Model model, bool input, uint8_t subslot)
{
    const ModelInfo& info = modelInfo(model);
    Layout layout{input ? kRecordInterface : kPlaybackInterface, {}};
    for (int family = 0; family < 3; ++family) {
        const auto counts = info.channels[std::size_t(family)];
        const uint8_t channels = input ? counts.in : counts.out;
        layout.families[family] = {uint8_t(family + 1), channels,
                                   input ? recordMaxPacket(channels, subslot, Family(family))
                                         : playbackMaxPacket(channels, subslot, Family(family))};
    }
    return layout;
}

void ExpectLayout(const IsocInfo& found, const Layout& expected)
{
    EXPECT_EQ(found.fInterface, expected.interface);
    for (int family = 0; family < 3; ++family) {
        EXPECT_EQ(found.fFamily[family], expected.families[family]) << "family " << family;
    }
}

struct Case
{
    const char* name;
    DescriptorOptions options;
    uint32_t bytesPerSample;
    Layout in;
    Layout out;
};

DescriptorOptions Options(Model model, Variant variant = Variant::Standard)
{
    return variantOptions(model, kVendorID, variant);
}

std::vector<Case> Cases()
{
    std::vector<Case> cases;
    for (Model model : kModels) {
        cases.push_back({"standard", Options(model), 4, Standard(model, true, 4), Standard(model, false, 4)});
    }
    const Model model = Model::Wrenlet;
    const Layout in = Standard(model, true, 4);
    const Layout out = Standard(model, false, 4);

    Case maxPacket{"wMaxPacketSize 0x1400", Options(model, Variant::MaxPacket3072), 4, in, out};
    for (auto* layout : {&maxPacket.in, &maxPacket.out}) {
        for (auto& family : layout->families) {
            family.fMaxPacket = 3072;
        }
    }
    cases.push_back(maxPacket);

    Case twoAlternates{"alternates 1 and 2 only", Options(model, Variant::TwoAlternates), 4, in, out};
    twoAlternates.in.families[2] = in.families[0];
    twoAlternates.out.families[2] = out.families[0];
    cases.push_back(twoAlternates);

    cases.push_back({"subslot 3", Options(model, Variant::Subslot3), 3, Standard(model, true, 3),
                     Standard(model, false, 3)});
    cases.push_back({"feedback endpoint", Options(model, Variant::FeedbackEndpoint), 4, in, out});

    // Bounded: what the device's descriptors may not push past.
    Case subslot2{"subslot 2 keeps 4", Options(model, Variant::Subslot2), 4, Standard(model, true, 2),
                  Standard(model, false, 2)};
    cases.push_back(subslot2);

    Case thirtyThree{"33 channels", Options(model, Variant::ThirtyThreeChannels), 4, in, out};
    thirtyThree.in.families[0] = {1, 0, recordMaxPacket(33, 4, Family::Single)};
    thirtyThree.out.families[0] = {1, 0, playbackMaxPacket(33, 4, Family::Single)};
    cases.push_back(thirtyThree);

    Case multiplier3{"multiplier 3 past 3072 bytes", Options(model), 4, in, out};
    multiplier3.options.recordMaxPacketOverride = std::make_pair(Family::Single, uint16_t(0x1FFF));
    multiplier3.in.families[0] = {};
    cases.push_back(multiplier3);
    return cases;
}

TEST(USBStreamingLayout, FindsEachFamilyOfEachDirection)
{
    for (const Case& testCase : Cases()) {
        SCOPED_TRACE(std::string(testCase.name) + " " + modelName(testCase.options.model));
        const auto descriptors = DescriptorsOf(testCase.options);
        IsocInfo in;
        IsocInfo out;
        FindIsocInfo(descriptors, in, out);
        EXPECT_EQ(FindBusBytesPerSample(descriptors), testCase.bytesPerSample);
        ExpectLayout(in, testCase.in);
        ExpectLayout(out, testCase.out);
    }
}

// A length byte of 0 ends the walk where it stands: what lies behind it is not seen.
TEST(USBStreamingLayout, ZeroLengthDescriptorEndsTheWalk)
{
    const auto descriptors = DescriptorsOf(Model::Wrenlet, Variant::ZeroLengthDescriptor);
    IsocInfo in;
    IsocInfo out;
    FindIsocInfo(descriptors, in, out);
    ExpectLayout(out, Standard(Model::Wrenlet, false, 4));
    EXPECT_EQ(in.fInterface, 0);
    EXPECT_EQ(in.fFamily[0].fNumCh, 0);
}

// Only the bytes the device filled are walked.
TEST(USBStreamingLayout, WalksOnlyTheFilledBytes)
{
    auto descriptors = DescriptorsOf(Model::Wrenlet);
    for (uint32_t length : {0u, 9u, 100u}) {
        descriptors.fLength = length;
        IsocInfo in;
        IsocInfo out;
        FindIsocInfo(descriptors, in, out);
        EXPECT_EQ(in.fInterface, 0) << length;
        EXPECT_EQ(out.fInterface, 0) << length;
    }
}

TEST(USBStreamingLayout, RateFamilies)
{
    const struct
    {
        uint32_t rate;
        bool known;
        RateFamily family;
    } cases[] = {{44100, true, kRateFamily1x},  {48000, true, kRateFamily1x},  {88200, true, kRateFamily2x},
                 {96000, true, kRateFamily2x},  {176400, true, kRateFamily4x}, {192000, true, kRateFamily4x},
                 {32000, false, kRateFamily1x}, {0, false, kRateFamily1x}};
    for (const auto& testCase : cases) {
        RateFamily family = kRateFamily1x;
        EXPECT_EQ(RateFamilyOf(testCase.rate, family), testCase.known) << testCase.rate;
        EXPECT_EQ(family, testCase.family) << testCase.rate;
    }
}

} // namespace
