#pragma once

// Descriptor sets of the interface family: the device descriptor, configuration 1 and the string
// descriptors, for each model and for the variants that tests of the drivers and the plug-in need,
// the malformed ones included. Free of the system's headers, so every test can link it.

#include <KorvanInterface/Identity.h>

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace KorvanInterface {

// Entity ids of the audio-control interface.
namespace Entity {
constexpr uint8_t kRecordInputTerminal = 0x02;
constexpr uint8_t kRecordOutputTerminal = 0x03;
constexpr uint8_t kPlaybackInputTerminal = 0x04;
constexpr uint8_t kPlaybackOutputTerminal = 0x05;
constexpr uint8_t kClockSource = 0x10;
constexpr uint8_t kClockSelector = 0x11;
constexpr uint8_t kSecondClockSource = 0x12;
constexpr uint8_t kFirstPaddingUnit = 0x20;
} // namespace Entity

namespace Endpoint {
constexpr uint8_t kPlayback = 0x01;
constexpr uint8_t kFeedback = 0x81;
constexpr uint8_t kRecord = 0x82;
constexpr uint8_t kStatus = 0x83;
} // namespace Endpoint

constexpr uint8_t kControlInterface = 0;
constexpr uint8_t kPlaybackInterface = 1;
constexpr uint8_t kRecordInterface = 2;
constexpr uint16_t kLanguage = 0x0409;

namespace StringIndex {
constexpr uint8_t kManufacturer = 1;
constexpr uint8_t kProduct = 2;
constexpr uint8_t kSerial = 3;
constexpr uint8_t kFirstChannelName = 4;
} // namespace StringIndex

struct DescriptorOptions
{
    DescriptorOptions(Model model, uint16_t vendorId);

    Model model;
    uint16_t idVendor;
    uint16_t idProduct;
    uint16_t bcdDevice;
    std::string manufacturer = "Korvan";
    std::string product;
    // Absent: iSerialNumber 0.
    std::optional<std::string> serial = std::string("AB12CD34");
    // The serial's string descriptor is cut to this bLength (below 3 it holds no character).
    std::optional<uint8_t> serialDescriptorLength;

    bool interfaceAssociation = true;
    bool clockSelector = true;
    bool secondClockSource = false;
    uint8_t clockSourceControls = 0x07;
    // 0: no interrupt endpoint.
    uint8_t statusPacketSize = 6;
    bool feedbackEndpoint = false;
    // 3: alternates 1 to 3; 2: alternates 1 and 2 only.
    uint8_t alternates = 3;
    uint8_t subslotSize = 4;
    uint8_t bitResolution = 24;
    std::array<ChannelCounts, 3> channels;
    // Replaces the computed wMaxPacketSize of every streaming data endpoint.
    std::optional<uint16_t> maxPacketOverride;
    // Replaces the wMaxPacketSize of the record endpoint of one family.
    std::optional<std::pair<Family, uint16_t>> recordMaxPacketOverride;
    // The AS_GENERAL of the record path at alternate 1 names this many more channels than its terminal.
    uint8_t generalChannelsAboveTerminal = 0;
    // Inserts a descriptor with bLength 0 between the two streaming interfaces.
    bool zeroLengthDescriptor = false;
    // Pads the audio-control interface with feature units until wTotalLength is exactly this (with a
    // second clock source when the padding would be odd, since feature units are of even length).
    std::optional<uint16_t> totalLength;
    // Channel names, replacing the defaults from the first.
    std::vector<std::string> inputNames;
    std::vector<std::string> outputNames;
};

struct DescriptorSet
{
    std::vector<uint8_t> device;
    std::vector<uint8_t> configuration;
    // By index; index 0 holds the language IDs.
    std::map<uint8_t, std::vector<uint8_t>> strings;

    std::optional<std::vector<uint8_t>> string(uint8_t index, uint16_t language) const;
};

DescriptorSet buildDescriptors(const DescriptorOptions& options);

// The streaming endpoint sizes the builder computes, in bytes per microframe: IN 5 + f x channels x
// subslot, OUT f x channels x subslot, f from framesPerMicroframeBound.
uint16_t recordMaxPacket(uint8_t channels, uint8_t subslot, Family family);
uint16_t playbackMaxPacket(uint8_t channels, uint8_t subslot, Family family);
// wMaxPacketSize carrying `bytes` per microframe (more than 1024 in two or three transactions).
uint16_t encodeMaxPacket(uint32_t bytes);

// The default channel names, "Category Number" as the plug-in splits them.
std::string defaultInputName(unsigned index);
std::string defaultOutputName(unsigned index);

// A string descriptor of UTF-8 `text` in UTF-16LE.
std::vector<uint8_t> stringDescriptor(const std::string& text);

} // namespace KorvanInterface
