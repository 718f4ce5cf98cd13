#include "USBStreamingLayout.h"

#include "Log.h"
#include "USBDescriptorWalk.h"

#include <cstring>

namespace {

using namespace USBDescriptorWalk;

constexpr uint8_t kAudioClass = 1;
constexpr uint8_t kStreamingSubclass = 2;
constexpr uint8_t kUAC2Protocol = 0x20;
constexpr uint8_t kGeneralLength = 16;
constexpr uint8_t kGeneralSubtype = 1;
constexpr uint8_t kFormatTypeLength = 6;
constexpr uint8_t kFormatTypeSubtype = 2;
constexpr uint8_t kFormatTypeI = 1;
constexpr uint8_t kBitResolution = 24;
constexpr uint8_t kEndpointLength = 7;
constexpr uint8_t kIsochronousAsynchronous = 5;
constexpr uint8_t kIsochronousSyncMask = 0x0D;

bool IsStreamingInterface(const uint8_t* descriptor)
{
    return descriptor[0] == 9 && descriptor[1] == kInterfaceType && descriptor[5] == kAudioClass &&
           descriptor[6] == kStreamingSubclass && descriptor[7] == kUAC2Protocol;
}

// The AS_GENERAL descriptor right after an operational alternate setting of a streaming interface;
// null when the interface has no endpoints or the next descriptor is something else.
const uint8_t* GeneralOf(const uint8_t* interface, const uint8_t* end)
{
    if (interface[3] == 0 || interface[4] == 0) {
        return nullptr;
    }
    const uint8_t* general = Next(interface, end);
    if (general == nullptr || general[0] != kGeneralLength || general[1] != kClassSpecificInterfaceType ||
        general[2] != kGeneralSubtype) {
        return nullptr;
    }
    return general;
}

const uint8_t* NextStreamingInterface(const uint8_t* interface, const uint8_t* end)
{
    return GetNextAudioStreamingAlternateInterface(Next(interface, end), end);
}

// The isochronous asynchronous data endpoint of an alternate setting, before the next streaming
// interface.
const uint8_t* DataEndpointOf(const uint8_t* interface, const uint8_t* end)
{
    for (const uint8_t* descriptor = Next(interface, end); descriptor != nullptr;
         descriptor = Next(descriptor, end)) {
        if (IsStreamingInterface(descriptor)) {
            return nullptr;
        }
        if (descriptor[0] == kEndpointLength && descriptor[1] == kEndpointType &&
            (descriptor[3] & kIsochronousSyncMask) == kIsochronousAsynchronous) {
            return descriptor;
        }
    }
    return nullptr;
}

uint8_t ChannelsOfFamily(uint8_t channels)
{
    if (channels > KorvanDeviceIO::kMaxDMAChannels) {
        TIDE_LOG(Log::Error, "streaming interface with %u channels: more than %u, not used",
                 unsigned(channels), unsigned(KorvanDeviceIO::kMaxDMAChannels));
        return 0;
    }
    return channels;
}

} // namespace

bool RateFamilyOf(uint32_t rate, RateFamily& family)
{
    switch (rate) {
    case 44100:
    case 48000:
        family = kRateFamily1x;
        return true;
    case 88200:
    case 96000:
        family = kRateFamily2x;
        return true;
    case 176400:
    case 192000:
        family = kRateFamily4x;
        return true;
    default:
        return false;
    }
}

const uint8_t* GetNextAudioStreamingAlternateInterface(const uint8_t* position, const uint8_t* end)
{
    const uint8_t* interface = Find(position, end, IsStreamingInterface);
    if (interface == nullptr) {
        TIDE_LOG(Log::Info, "advance to the next audio streaming interface not found\n");
        return nullptr;
    }
    TIDE_LOG(Log::Info, "advance to the next audio streaming interface found iface %d alt %d\n",
             int(interface[2]), int(interface[3]));
    return interface;
}

uint32_t FindBusBytesPerSample(const KorvanDeviceIO::USBDescriptors& descriptors)
{
    const uint8_t* const end = End(descriptors);
    uint32_t bytesPerSample = kDefaultBusBytesPerSample;
    TIDE_LOG(Log::Info, "Looking for device bytes per sample\n");
    for (const uint8_t* interface = GetNextAudioStreamingAlternateInterface(descriptors.fData, end);
         interface != nullptr; interface = NextStreamingInterface(interface, end)) {
        const uint8_t* general = GeneralOf(interface, end);
        if (general == nullptr || general + kGeneralLength + kFormatTypeLength > end) {
            continue;
        }
        const uint8_t* format = general + kGeneralLength;
        TIDE_LOG(Log::Info, "FMT D %02x %02x %02x %02x %02x %02x\n", format[0], format[1], format[2],
                 format[3], format[4], format[5]);
        const bool typeI = format[0] == kFormatTypeLength && format[1] == kClassSpecificInterfaceType &&
                           format[2] == kFormatTypeSubtype && format[3] == kFormatTypeI;
        const uint8_t subslot = format[4];
        if (typeI && format[5] == kBitResolution && (subslot == 3 || subslot == 4)) {
            bytesPerSample = subslot;
            TIDE_LOG(Log::Info, "BYTES PER SAMPLE %u\n", unsigned(bytesPerSample));
            break;
        }
    }
    TIDE_LOG(Log::Info, "BusBytesPerSample %d", int(bytesPerSample));
    return bytesPerSample;
}

namespace {

void WalkStreamingInterfaces(const KorvanDeviceIO::USBDescriptors& descriptors, IsocInfo& in, IsocInfo& out)
{
    const uint8_t* const end = End(descriptors);
    for (const uint8_t* interface = GetNextAudioStreamingAlternateInterface(descriptors.fData, end);
         interface != nullptr; interface = NextStreamingInterface(interface, end)) {
        const uint8_t* general = GeneralOf(interface, end);
        if (general == nullptr) {
            continue;
        }
        TIDE_LOG(Log::Info, "looking for audio streaming interface direction %p\n",
                 static_cast<const void*>(interface));
        const uint8_t* endpoint = DataEndpointOf(interface, end);
        if (endpoint == nullptr) {
            continue;
        }
        const uint32_t wMaxPacketSize = uint32_t(endpoint[4]) | uint32_t(endpoint[5]) << 8;
        const uint32_t maxPacket = (wMaxPacketSize & 0x7FF) * (((wMaxPacketSize >> 11) & 3) + 1);
        TIDE_LOG(Log::Info, "MAX PACKET SIZE %02x %02x -> %08x -> %u\n", endpoint[4], endpoint[5],
                 unsigned(wMaxPacketSize), unsigned(maxPacket));
        if (maxPacket > kMaxUsablePacketBytes) {
            TIDE_LOG(Log::Error, "max packet size %u is above %u, endpoint not used", unsigned(maxPacket),
                     unsigned(kMaxUsablePacketBytes));
            continue;
        }
        IsocInfo& info = (endpoint[2] & 0x80) != 0 ? in : out;
        if (info.fInterface == 0) {
            info.fInterface = interface[2];
        } else if (info.fInterface != interface[2]) {
            continue;
        }
        const IsocFamilyInfo entry{interface[3], ChannelsOfFamily(general[10]), maxPacket};
        switch (interface[3]) {
        case 1:
            for (auto& family : info.fFamily) {
                family = entry;
            }
            break;
        case 2:
            info.fFamily[kRateFamily2x] = entry;
            break;
        case 3:
            info.fFamily[kRateFamily4x] = entry;
            break;
        default:
            return;
        }
    }
}

} // namespace

void FindIsocInfo(const KorvanDeviceIO::USBDescriptors& descriptors, IsocInfo& in, IsocInfo& out)
{
    std::memset(&in, 0, sizeof(in));
    std::memset(&out, 0, sizeof(out));
    TIDE_LOG(Log::Info, "Looking for audio streaming interfaces\n");
    WalkStreamingInterfaces(descriptors, in, out);
    TIDE_LOG(Log::Info,
             "IN ISOC INFO iface %d: alt1x %d numCh1X %d maxPacket1x %d, alt2x %d numCh2X %d  maxPacket2x "
             "%d, alt4x "
             "%d numCh4X %d maxPacket4x %d\n",
             in.fInterface, in.fFamily[0].fAlt, in.fFamily[0].fNumCh, int(in.fFamily[0].fMaxPacket),
             in.fFamily[1].fAlt, in.fFamily[1].fNumCh, int(in.fFamily[1].fMaxPacket), in.fFamily[2].fAlt,
             in.fFamily[2].fNumCh, int(in.fFamily[2].fMaxPacket));
    TIDE_LOG(Log::Info,
             "OUT ISOC INFO iface %d: alt1x %d numCh1X %d maxPacket1x %d, alt2x %d numCh2X %d maxPacket2x "
             "%d, alt4x "
             "%d numCh4X %d maxPacket4x %d\n",
             out.fInterface, out.fFamily[0].fAlt, out.fFamily[0].fNumCh, int(out.fFamily[0].fMaxPacket),
             out.fFamily[1].fAlt, out.fFamily[1].fNumCh, int(out.fFamily[1].fMaxPacket), out.fFamily[2].fAlt,
             out.fFamily[2].fNumCh, int(out.fFamily[2].fMaxPacket));
}
