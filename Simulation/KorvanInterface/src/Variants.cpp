#include <KorvanInterface/Variants.h>

namespace KorvanInterface {

const std::vector<VariantInfo>& variants()
{
    static const std::vector<VariantInfo> table{
        {Variant::Standard, "Standard", ""},
        {Variant::NoInterfaceAssociation, "NoInterfaceAssociation", ""},
        {Variant::TwoClockSources, "TwoClockSources", ""},
        {Variant::NoClockSelector, "NoClockSelector", ""},
        {Variant::ReadOnlyClock, "ReadOnlyClock", ""},
        {Variant::StatusPacket8, "StatusPacket8", ""},
        {Variant::NoStatusEndpoint, "NoStatusEndpoint", ""},
        {Variant::FeedbackEndpoint, "FeedbackEndpoint", ""},
        {Variant::TwoAlternates, "TwoAlternates", ""},
        {Variant::MaxPacket3072, "MaxPacket3072", ""},
        {Variant::Subslot3, "Subslot3", ""},
        {Variant::OddChannelCount, "OddChannelCount", ""},
        {Variant::ThirtyThreeChannels, "ThirtyThreeChannels", ""},
        {Variant::Total2047, "Total2047", ""},
        {Variant::Total2048, "Total2048", ""},
        {Variant::LongSerial, "LongSerial", ""},
        {Variant::LongProduct, "LongProduct", ""},
        {Variant::NoSerial, "NoSerial", ""},
        {Variant::EmptySerialDescriptor, "EmptySerialDescriptor", ""},
        {Variant::LongChannelNames, "LongChannelNames", ""},
        {Variant::ZeroLengthDescriptor, "ZeroLengthDescriptor", "bLength"},
        {Variant::MultBits3, "MultBits3", "max packet"},
        {Variant::Subslot2, "Subslot2", "format"},
        {Variant::GeneralAboveTerminal, "GeneralAboveTerminal", "channel counts"},
        {Variant::NoUsableRecordEndpoint, "NoUsableRecordEndpoint", "max packet"},
    };
    return table;
}

DescriptorOptions variantOptions(Model model, uint16_t vendorId, Variant variant)
{
    DescriptorOptions options(model, vendorId);
    switch (variant) {
    case Variant::Standard:
        break;
    case Variant::NoInterfaceAssociation:
        options.interfaceAssociation = false;
        break;
    case Variant::TwoClockSources:
        options.secondClockSource = true;
        break;
    case Variant::NoClockSelector:
        options.clockSelector = false;
        break;
    case Variant::ReadOnlyClock:
        options.clockSourceControls = 0x01;
        break;
    case Variant::StatusPacket8:
        options.statusPacketSize = 8;
        break;
    case Variant::NoStatusEndpoint:
        options.statusPacketSize = 0;
        break;
    case Variant::FeedbackEndpoint:
        options.feedbackEndpoint = true;
        break;
    case Variant::TwoAlternates:
        options.alternates = 2;
        break;
    case Variant::MaxPacket3072:
        options.maxPacketOverride = 0x1400;
        break;
    case Variant::Subslot3:
        options.subslotSize = 3;
        break;
    case Variant::OddChannelCount:
        options.channels[0] = {3, 5};
        break;
    case Variant::ThirtyThreeChannels:
        options.channels[0] = {33, 33};
        break;
    case Variant::Total2047:
        options.totalLength = 2047;
        break;
    case Variant::Total2048:
        options.totalLength = 2048;
        break;
    case Variant::LongSerial:
        options.serial = "AB12CD34EF56GH78IJ90";
        break;
    case Variant::LongProduct:
        options.product =
            options.product + " with a product string far longer than sixty-five bytes of UTF-8";
        break;
    case Variant::NoSerial:
        options.serial.reset();
        break;
    case Variant::EmptySerialDescriptor:
        options.serialDescriptorLength = 2;
        break;
    case Variant::LongChannelNames: {
        std::string euros;
        for (int i = 0; i < 60; ++i) {
            euros += "\xE2\x82\xAC";
        }
        options.inputNames = {"Thirty One Characters In Name 1", "Thirty Two Characters In Names 2",
                              "Forty Characters In This Channel Name 33", euros + " 4"};
        break;
    }
    case Variant::ZeroLengthDescriptor:
        options.zeroLengthDescriptor = true;
        break;
    case Variant::MultBits3:
        options.recordMaxPacketOverride = std::make_pair(Family::Single, uint16_t(0x1800 | 0x0100));
        break;
    case Variant::Subslot2:
        options.subslotSize = 2;
        break;
    case Variant::GeneralAboveTerminal:
        options.generalChannelsAboveTerminal = 2;
        break;
    case Variant::NoUsableRecordEndpoint:
        options.recordMaxPacketOverride = std::make_pair(Family::Quad, uint16_t(4));
        break;
    }
    return options;
}

} // namespace KorvanInterface
