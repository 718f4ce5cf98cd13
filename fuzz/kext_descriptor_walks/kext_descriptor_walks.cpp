// The kernel extension's walks over random configurations and strings: the channel-name walk, the
// interface and endpoint searches, the descriptor copy and the UID and product conversion. Every
// name is terminated within its entry, the copy stays within 2047 bytes, and no read leaves the
// bytes (AddressSanitizer).
//
// Input: interface number, alternate setting, direction (odd: input), a little-endian u16 length,
// that many configuration bytes, then string descriptors given indices 1, 2, ... in order.

#include <ChannelNameWalk.h>
#include <ConfigurationCopy.h>
#include <DeviceStrings.h>

#include <KernelIOKitTesting/KernelIOKitTesting.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

struct FuzzStrings
{
    FuzzStrings(const uint8_t* data, size_t size)
    {
        for (size_t at = 0; at < size && strings.size() < 255;) {
            const size_t length = data[at] == 0 ? 1 : data[at];
            strings.emplace_back(data + at, data + std::min(size, at + length));
            at += length;
        }
    }

    static const StandardUSB::StringDescriptor* read(void* context, uint8_t index, uint32_t* bytesReturned)
    {
        auto* self = static_cast<FuzzStrings*>(context);
        if (index == 0 || index > self->strings.size()) {
            return nullptr;
        }
        const std::vector<uint8_t>& string = self->strings[index - 1];
        *bytesReturned = uint32_t(string.size());
        return reinterpret_cast<const StandardUSB::StringDescriptor*>(string.data());
    }

    std::vector<std::vector<uint8_t>> strings;
};

void convertStrings(FuzzStrings& strings)
{
    for (uint8_t index = 1; index <= strings.strings.size() && index < 4; ++index) {
        uint32_t bytes = 0;
        const StandardUSB::StringDescriptor* string = FuzzStrings::read(&strings, index, &bytes);
        char uid[17];
        char product[65];
        DeviceStrings::Convert(string, bytes, uid, sizeof(uid), 16, true);
        DeviceStrings::Convert(string, bytes, product, sizeof(product), 64, false);
        require(std::memchr(uid, 0, sizeof(uid)) != nullptr &&
                std::memchr(product, 0, sizeof(product)) != nullptr);
    }
}

void walkInterfacesAndEndpoints(const StandardUSB::ConfigurationDescriptor* configuration)
{
    uint8_t copy[2047];
    uint32_t copied = 0;
    ConfigurationCopy::Copy(configuration, copy, sizeof(copy), &copied);
    require(copied <= sizeof(copy));
    for (const auto* interface = StandardUSB::getNextInterfaceDescriptor(configuration, nullptr); interface;
         interface = StandardUSB::getNextInterfaceDescriptor(
             configuration, reinterpret_cast<const StandardUSB::Descriptor*>(interface))) {
        for (const auto* endpoint = StandardUSB::getNextEndpointDescriptor(configuration, interface, nullptr);
             endpoint;
             endpoint = StandardUSB::getNextEndpointDescriptor(
                 configuration, interface, reinterpret_cast<const StandardUSB::Descriptor*>(endpoint))) {
            require(StandardUSB::getEndpointMaxPacketSize(endpoint) <= StandardUSB::kMaxBytesPerMicroframe);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 5) {
        return 0;
    }
    const size_t length = std::min<size_t>(data[3] | data[4] << 8, size - 5);
    // The platform hands out no configuration shorter than its fixed fields.
    if (length < sizeof(StandardUSB::ConfigurationDescriptor)) {
        return 0;
    }
    const StandardUSB::ConfigurationDescriptor* configuration =
        KernelIOKitTesting::copyConfiguration(data + 5, length);
    FuzzStrings strings(data + 5 + length, size - 5 - length);
    char names[KorvanDeviceIO::kMaxDMAChannels][KorvanDeviceIO::kNameFieldBytes];
    std::memset(names, 0x55, sizeof(names));
    const int count = ChannelNameWalk::Names(configuration, data[0], data[1], (data[2] & 1) != 0,
                                             &FuzzStrings::read, &strings, names);
    require(count <= int(KorvanDeviceIO::kMaxDMAChannels));
    for (int name = 0; name < count; ++name) {
        require(names[name][KorvanDeviceIO::kNameFieldBytes - 1] == 0);
    }
    walkInterfacesAndEndpoints(configuration);
    convertStrings(strings);
    KernelIOKitTesting::freeConfiguration(configuration);
    return 0;
}
