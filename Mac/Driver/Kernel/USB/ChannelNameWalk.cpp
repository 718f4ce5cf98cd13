#include "ChannelNameWalk.h"

#include "DeviceStrings.h"

#include <IOKit/IOLib.h>

#include <cstring>

namespace ChannelNameWalk {

namespace {

using StandardUSB::ConfigurationDescriptor;
using StandardUSB::Descriptor;

constexpr uint8_t kClassSpecificInterface = 0x24;
constexpr uint8_t kInputTerminal = 2;
constexpr uint8_t kOutputTerminal = 3;
constexpr uint8_t kGeneral = 1;
constexpr uint8_t kInputTerminalBytes = 17;
constexpr uint8_t kOutputTerminalBytes = 12;
constexpr uint8_t kGeneralBytes = 16;
constexpr uint16_t kInputTerminalType = 0x0602;
constexpr uint16_t kOutputTerminalType = 0x0101;

const uint8_t* bytesOf(const Descriptor* descriptor)
{
    return reinterpret_cast<const uint8_t*>(descriptor);
}

// The first class-specific descriptor of a subtype and minimum length whose field at `idOffset`
// is `id`, anywhere in the configuration (any id when `idOffset` is 0).
const uint8_t* findClassSpecific(const ConfigurationDescriptor* configuration, uint8_t subtype,
                                 uint8_t minLength, size_t idOffset, uint8_t id)
{
    for (const Descriptor* d =
             StandardUSB::getNextDescriptorWithType(configuration, nullptr, kClassSpecificInterface);
         d; d = StandardUSB::getNextDescriptorWithType(configuration, d, kClassSpecificInterface)) {
        const uint8_t* bytes = bytesOf(d);
        if (d->bLength >= minLength && bytes[2] == subtype && (idOffset == 0 || bytes[idOffset] == id)) {
            return bytes;
        }
    }
    return nullptr;
}

} // namespace

int Names(const ConfigurationDescriptor* configuration, uint8_t interfaceNumber, uint8_t alternate,
          bool input, StringSource strings, void* context, char (*names)[KorvanDeviceIO::kNameFieldBytes])
{
    const StandardUSB::InterfaceDescriptor* interface = nullptr;
    for (const auto* candidate = StandardUSB::getNextInterfaceDescriptor(configuration, nullptr); candidate;
         candidate = StandardUSB::getNextInterfaceDescriptor(
             configuration, reinterpret_cast<const Descriptor*>(candidate))) {
        if (candidate->bInterfaceNumber == interfaceNumber && candidate->bAlternateSetting == alternate) {
            interface = candidate;
            break;
        }
    }
    if (!interface) {
        return -1;
    }
    const uint8_t* general = nullptr;
    const auto* parent = reinterpret_cast<const Descriptor*>(interface);
    for (const Descriptor* d = StandardUSB::getNextAssociatedDescriptorWithType(
             configuration, parent, nullptr, kClassSpecificInterface);
         d; d = StandardUSB::getNextAssociatedDescriptorWithType(configuration, parent, d,
                                                                 kClassSpecificInterface)) {
        if (d->bLength >= kGeneralBytes && bytesOf(d)[2] == kGeneral) {
            general = bytesOf(d);
            break;
        }
    }
    if (!general) {
        return -1;
    }
    const uint8_t terminalLink = general[3];
    const uint8_t channels = general[10];
    const uint8_t* terminal =
        findClassSpecific(configuration, kInputTerminal, kInputTerminalBytes, 3, terminalLink);
    if (!terminal) {
        const uint8_t* output =
            findClassSpecific(configuration, kOutputTerminal, kOutputTerminalBytes, 3, terminalLink);
        if (!output) {
            return -1;
        }
        const uint16_t wanted = input ? kInputTerminalType : kOutputTerminalType;
        for (const Descriptor* d =
                 StandardUSB::getNextDescriptorWithType(configuration, nullptr, kClassSpecificInterface);
             d && !terminal;
             d = StandardUSB::getNextDescriptorWithType(configuration, d, kClassSpecificInterface)) {
            const uint8_t* bytes = bytesOf(d);
            if (d->bLength >= kInputTerminalBytes && bytes[2] == kInputTerminal && bytes[3] == output[7] &&
                uint16_t(bytes[4] | bytes[5] << 8) == wanted) {
                terminal = bytes;
            }
        }
        if (!terminal) {
            return -1;
        }
    }
    if (channels > terminal[8]) {
        IOLog("ASSERTION FAILED: numChannels <= itd->bNrChannels ...\n");
        return -1;
    }
    if (channels > KorvanDeviceIO::kMaxDMAChannels) {
        return -1;
    }
    const uint8_t first = terminal[13];
    for (uint8_t channel = 0; channel < channels; ++channel) {
        uint32_t bytesReturned = 0;
        const StandardUSB::StringDescriptor* string =
            strings(context, uint8_t(first + channel), &bytesReturned);
        if (!string || bytesReturned < 3 || string->bLength < 3) {
            return -1;
        }
        std::memset(names[channel], 0, KorvanDeviceIO::kNameFieldBytes);
        DeviceStrings::Convert(string, bytesReturned, names[channel], KorvanDeviceIO::kNameFieldBytes,
                               KorvanDeviceIO::kNameFieldBytes - 1, false);
    }
    return channels;
}

} // namespace ChannelNameWalk
