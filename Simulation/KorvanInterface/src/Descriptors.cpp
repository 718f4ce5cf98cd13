#include <KorvanInterface/Descriptors.h>

#include <SimUSB/Setup.h>

#include <algorithm>

namespace KorvanInterface {

namespace {

using Bytes = std::vector<uint8_t>;

void put16(Bytes& bytes, uint16_t value)
{
    bytes.push_back(uint8_t(value));
    bytes.push_back(uint8_t(value >> 8));
}

void put32(Bytes& bytes, uint32_t value)
{
    put16(bytes, uint16_t(value));
    put16(bytes, uint16_t(value >> 16));
}

void append(Bytes& to, const Bytes& from)
{
    to.insert(to.end(), from.begin(), from.end());
}

uint8_t mostChannels(const DescriptorOptions& options, bool input)
{
    uint8_t most = 0;
    for (uint8_t alternate = 1; alternate <= options.alternates; ++alternate) {
        const ChannelCounts& counts = options.channels[alternate - 1];
        most = std::max(most, input ? counts.in : counts.out);
    }
    return most;
}

Bytes inputTerminal(uint8_t id, uint16_t type, uint8_t clock, uint8_t channels, uint8_t names)
{
    Bytes bytes{17, 0x24, 0x02, id};
    put16(bytes, type);
    bytes.insert(bytes.end(), {0x00, clock, channels});
    put32(bytes, 0);
    bytes.push_back(names);
    put16(bytes, 0);
    bytes.push_back(0);
    return bytes;
}

Bytes outputTerminal(uint8_t id, uint16_t type, uint8_t source, uint8_t clock)
{
    Bytes bytes{12, 0x24, 0x03, id};
    put16(bytes, type);
    bytes.insert(bytes.end(), {0x00, source, clock});
    put16(bytes, 0);
    bytes.push_back(0);
    return bytes;
}

Bytes featureUnit(uint8_t id, uint8_t source, uint8_t controls)
{
    Bytes bytes{uint8_t(6 + 4 * controls), 0x24, 0x06, id, source};
    for (uint8_t i = 0; i < controls; ++i) {
        put32(bytes, 0);
    }
    bytes.push_back(0);
    return bytes;
}

// The audio-control descriptors that follow the class-specific header.
Bytes controlEntities(const DescriptorOptions& options, uint8_t inputNames, uint8_t outputNames)
{
    const bool secondSource = options.secondClockSource;
    Bytes bytes{8, 0x24, 0x0A, Entity::kClockSource, 0x03, options.clockSourceControls, 0x00, 0x00};
    if (secondSource) {
        append(bytes,
               {8, 0x24, 0x0A, Entity::kSecondClockSource, 0x03, options.clockSourceControls, 0x00, 0x00});
    }
    uint8_t clock = Entity::kClockSource;
    if (options.clockSelector) {
        const uint8_t pins = secondSource ? 2 : 1;
        Bytes selector{uint8_t(7 + pins), 0x24, 0x0B, Entity::kClockSelector, pins, Entity::kClockSource};
        if (secondSource) {
            selector.push_back(Entity::kSecondClockSource);
        }
        selector.insert(selector.end(), {0x03, 0x00});
        append(bytes, selector);
        clock = Entity::kClockSelector;
    }
    append(bytes, inputTerminal(Entity::kRecordInputTerminal, 0x0602, clock, mostChannels(options, true),
                                inputNames));
    append(bytes, outputTerminal(Entity::kRecordOutputTerminal, 0x0101, Entity::kRecordInputTerminal, clock));
    append(bytes, inputTerminal(Entity::kPlaybackInputTerminal, 0x0101, clock, mostChannels(options, false),
                                outputNames));
    append(bytes,
           outputTerminal(Entity::kPlaybackOutputTerminal, 0x0301, Entity::kPlaybackInputTerminal, clock));
    return bytes;
}

Bytes streamingInterface(const DescriptorOptions& options, bool record)
{
    const uint8_t number = record ? kRecordInterface : kPlaybackInterface;
    Bytes bytes{9, 4, number, 0, 0, 1, 2, 0x20, 0};
    for (uint8_t alternate = 1; alternate <= options.alternates; ++alternate) {
        const Family family = Family(alternate - 1);
        const ChannelCounts& counts = options.channels[alternate - 1];
        uint8_t channels = record ? counts.in : counts.out;
        const bool feedback = !record && options.feedbackEndpoint;
        append(bytes, {9, 4, number, alternate, uint8_t(feedback ? 2 : 1), 1, 2, 0x20, 0});
        const uint8_t link = record ? Entity::kRecordOutputTerminal : Entity::kPlaybackInputTerminal;
        if (record && alternate == 1) {
            channels = uint8_t(channels + options.generalChannelsAboveTerminal);
        }
        Bytes general{16, 0x24, 0x01, link, 0x00, 0x01};
        put32(general, 1);
        general.push_back(channels);
        put32(general, 0);
        general.push_back(0);
        append(bytes, general);
        append(bytes, {6, 0x24, 0x02, 0x01, options.subslotSize, options.bitResolution});
        uint16_t maxPacket =
            encodeMaxPacket(record ? recordMaxPacket(channels, options.subslotSize, family)
                                   : playbackMaxPacket(channels, options.subslotSize, family));
        if (options.maxPacketOverride) {
            maxPacket = *options.maxPacketOverride;
        }
        if (record && options.recordMaxPacketOverride && options.recordMaxPacketOverride->first == family) {
            maxPacket = options.recordMaxPacketOverride->second;
        }
        Bytes endpoint{7, 5, record ? Endpoint::kRecord : Endpoint::kPlayback, 0x05};
        put16(endpoint, maxPacket);
        endpoint.push_back(1);
        append(bytes, endpoint);
        append(bytes, {8, 0x25, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00});
        if (feedback) {
            append(bytes, {7, 5, Endpoint::kFeedback, 0x11, 4, 0, 4});
        }
    }
    return bytes;
}

// Feature units of the lengths that bring `padding` bytes: each is 6 + 4k bytes (k from 1 to 62).
std::vector<Bytes> paddingUnits(size_t padding)
{
    std::vector<Bytes> units;
    for (size_t count = 1; count <= 64; ++count) {
        if ((padding - 6 * count) % 4 != 0 || padding < 10 * count || padding > 254 * count) {
            continue;
        }
        size_t controls = (padding - 6 * count) / 4;
        for (size_t i = 0; i < count; ++i) {
            const size_t mine = std::min<size_t>(62, controls - (count - 1 - i));
            units.push_back(featureUnit(uint8_t(Entity::kFirstPaddingUnit + i), Entity::kRecordInputTerminal,
                                        uint8_t(mine)));
            controls -= mine;
        }
        return units;
    }
    return units;
}

} // namespace

DescriptorOptions::DescriptorOptions(Model model, uint16_t vendorId)
    : model(model), idVendor(vendorId), idProduct(modelInfo(model).idProduct),
      bcdDevice(modelInfo(model).bcdDevice), product(modelInfo(model).product),
      channels(modelInfo(model).channels)
{}

std::optional<std::vector<uint8_t>> DescriptorSet::string(uint8_t index, uint16_t language) const
{
    auto found = strings.find(index);
    if (found == strings.end() || (index != 0 && language != kLanguage)) {
        return std::nullopt;
    }
    return found->second;
}

// wMaxPacketSize for `bytes` per microframe: up to 1024 in one transaction, else split evenly over
// two or three.
uint16_t encodeMaxPacket(uint32_t bytes)
{
    const uint32_t transactions = std::clamp<uint32_t>((bytes + 1023) / 1024, 1, 3);
    const uint32_t size = (bytes + transactions - 1) / transactions;
    return uint16_t((transactions - 1) << 11 | std::min<uint32_t>(size, 0x7FF));
}

uint16_t recordMaxPacket(uint8_t channels, uint8_t subslot, Family family)
{
    return uint16_t(5 + framesPerMicroframeBound(family) * channels * subslot);
}

uint16_t playbackMaxPacket(uint8_t channels, uint8_t subslot, Family family)
{
    return uint16_t(framesPerMicroframeBound(family) * channels * subslot);
}

std::string defaultInputName(unsigned index)
{
    return (index < 2 ? "Mic/Line/Inst In " : "Line In ") + std::to_string(index + 1);
}

std::string defaultOutputName(unsigned index)
{
    return (index < 2 ? "Main Out " : "Line Out ") + std::to_string(index + 1);
}

std::vector<uint8_t> stringDescriptor(const std::string& text)
{
    std::vector<uint8_t> bytes{0, SimUSB::DescriptorType::kString};
    for (size_t i = 0; i < text.size();) {
        const auto lead = uint8_t(text[i]);
        uint32_t code = lead;
        size_t length = 1;
        if (lead >= 0xF0) {
            code = lead & 0x07;
            length = 4;
        } else if (lead >= 0xE0) {
            code = lead & 0x0F;
            length = 3;
        } else if (lead >= 0xC0) {
            code = lead & 0x1F;
            length = 2;
        }
        for (size_t j = 1; j < length && i + j < text.size(); ++j) {
            code = code << 6 | (uint8_t(text[i + j]) & 0x3F);
        }
        i += length;
        if (code >= 0x10000) {
            code -= 0x10000;
            put16(bytes, uint16_t(0xD800 | code >> 10));
            put16(bytes, uint16_t(0xDC00 | (code & 0x3FF)));
        } else {
            put16(bytes, uint16_t(code));
        }
    }
    bytes[0] = uint8_t(std::min<size_t>(bytes.size(), 254));
    bytes.resize(bytes[0]);
    return bytes;
}

DescriptorSet buildDescriptors(const DescriptorOptions& options)
{
    DescriptorSet set;
    const uint8_t inputs = mostChannels(options, true);
    const uint8_t outputs = mostChannels(options, false);
    const uint8_t inputNames = StringIndex::kFirstChannelName;
    const auto outputNames = uint8_t(inputNames + inputs);

    set.strings[0] = {4, SimUSB::DescriptorType::kString, uint8_t(kLanguage), uint8_t(kLanguage >> 8)};
    set.strings[StringIndex::kManufacturer] = stringDescriptor(options.manufacturer);
    set.strings[StringIndex::kProduct] = stringDescriptor(options.product);
    if (options.serial) {
        std::vector<uint8_t> serial = stringDescriptor(*options.serial);
        if (options.serialDescriptorLength) {
            serial.resize(std::min<size_t>(serial.size(), *options.serialDescriptorLength));
            if (!serial.empty()) {
                serial[0] = uint8_t(serial.size());
            }
        }
        set.strings[StringIndex::kSerial] = serial;
    }
    for (unsigned i = 0; i < inputs; ++i) {
        set.strings[uint8_t(inputNames + i)] =
            stringDescriptor(i < options.inputNames.size() ? options.inputNames[i] : defaultInputName(i));
    }
    for (unsigned i = 0; i < outputs; ++i) {
        set.strings[uint8_t(outputNames + i)] =
            stringDescriptor(i < options.outputNames.size() ? options.outputNames[i] : defaultOutputName(i));
    }

    const bool iad = options.interfaceAssociation;
    set.device = {18,
                  SimUSB::DescriptorType::kDevice,
                  0x00,
                  0x02,
                  uint8_t(iad ? 0xEF : 0),
                  uint8_t(iad ? 2 : 0),
                  uint8_t(iad ? 1 : 0),
                  64};
    put16(set.device, options.idVendor);
    put16(set.device, options.idProduct);
    put16(set.device, options.bcdDevice);
    set.device.insert(set.device.end(), {StringIndex::kManufacturer, StringIndex::kProduct,
                                         uint8_t(options.serial ? StringIndex::kSerial : 0), 1});

    // Feature units are 6 + 4k bytes long, so an odd padding takes a second clock source too.
    DescriptorOptions layout = options;
    Bytes entities, status, playback, record;
    for (int pass = 0; pass < 2; ++pass) {
        entities = controlEntities(layout, inputNames, outputNames);
        status.clear();
        if (layout.statusPacketSize != 0) {
            status = {7, 5, Endpoint::kStatus, 0x03, layout.statusPacketSize, 0, 4};
        }
        playback = streamingInterface(layout, false);
        record = streamingInterface(layout, true);
        if (layout.zeroLengthDescriptor) {
            playback.insert(playback.end(), {0, 0x24});
        }
        const size_t fixed =
            9 + (iad ? 8 : 0) + 9 + 9 + entities.size() + status.size() + playback.size() + record.size();
        if (!layout.totalLength || *layout.totalLength <= fixed) {
            break;
        }
        const size_t padding = *layout.totalLength - fixed;
        if (padding % 2 == 1 && layout.clockSelector && !layout.secondClockSource) {
            layout.secondClockSource = true;
            continue;
        }
        for (const Bytes& unit : paddingUnits(padding)) {
            append(entities, unit);
        }
        break;
    }

    Bytes& config = set.configuration;
    config = {9, SimUSB::DescriptorType::kConfiguration, 0, 0, 3, 1, 0, 0x80, 250};
    if (iad) {
        append(config, {8, SimUSB::DescriptorType::kInterfaceAssociation, 0, 3, 1, 0, 0x20, 0});
    }
    append(config, {9, 4, kControlInterface, 0, uint8_t(status.empty() ? 0 : 1), 1, 1, 0x20, 0});
    Bytes header{9, 0x24, 0x01, 0x00, 0x02, 0x08};
    put16(header, uint16_t(9 + entities.size()));
    header.push_back(0);
    append(config, header);
    append(config, entities);
    append(config, status);
    append(config, playback);
    append(config, record);
    config[2] = uint8_t(config.size());
    config[3] = uint8_t(config.size() >> 8);
    return set;
}

} // namespace KorvanInterface
