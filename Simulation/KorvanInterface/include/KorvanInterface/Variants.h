#pragma once

// Named descriptor variants, each a small change to a model's standard set, and whether USB 2.0
// chapter 9 and UAC2 allow it. Those that are not allowed break the rule named.

#include <KorvanInterface/Descriptors.h>

#include <string>
#include <vector>

namespace KorvanInterface {

enum class Variant
{
    Standard,
    NoInterfaceAssociation,
    TwoClockSources,
    NoClockSelector,
    ReadOnlyClock,
    StatusPacket8,
    NoStatusEndpoint,
    FeedbackEndpoint,
    TwoAlternates,
    MaxPacket3072,
    Subslot3,
    OddChannelCount,
    ThirtyThreeChannels,
    Total2047,
    Total2048,
    LongSerial,
    LongProduct,
    NoSerial,
    EmptySerialDescriptor,
    LongChannelNames,
    // Not allowed.
    ZeroLengthDescriptor,
    MultBits3,
    Subslot2,
    GeneralAboveTerminal,
    NoUsableRecordEndpoint,
};

struct VariantInfo
{
    Variant variant;
    const char* name;
    // Empty for a variant the rules allow; else the rule it breaks.
    const char* brokenRule;
};

const std::vector<VariantInfo>& variants();
DescriptorOptions variantOptions(Model model, uint16_t vendorId, Variant variant);

} // namespace KorvanInterface
