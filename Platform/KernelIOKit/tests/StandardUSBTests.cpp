#include <IOKit/usb/StandardUSB.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <vector>

namespace {

using namespace StandardUSB;

// A configuration descriptor whose wTotalLength is `total` (the bytes' size when 0), then `rest`.
std::vector<uint8_t> configuration(const std::vector<uint8_t>& rest, uint16_t total = 0)
{
    const uint8_t header[] = {9, kDescriptorTypeConfiguration, 0, 0, 1, 1, 0, 0x80, 50};
    std::vector<uint8_t> bytes(sizeof(header) + rest.size());
    std::copy(std::begin(header), std::end(header), bytes.begin());
    std::copy(rest.begin(), rest.end(), bytes.begin() + sizeof(header));
    const uint16_t length = total != 0 ? total : uint16_t(bytes.size());
    bytes[2] = uint8_t(length);
    bytes[3] = uint8_t(length >> 8);
    return bytes;
}

const std::vector<uint8_t> kInterface{9, kDescriptorTypeInterface, 1, 1, 2, 1, 2, 0x20, 0};
const std::vector<uint8_t> kIsochronousIn{7, kDescriptorTypeEndpoint, 0x81, 0x05, 0x00, 0x04, 1};
const std::vector<uint8_t> kInterruptIn{7, kDescriptorTypeEndpoint, 0x83, 0x03, 0x06, 0x00, 4};

std::vector<uint8_t> join(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> bytes;
    for (const auto& part : parts) {
        bytes.insert(bytes.end(), part.begin(), part.end());
    }
    return bytes;
}

// The types of every descriptor the plain walk visits.
std::vector<uint8_t> walkTypes(const std::vector<uint8_t>& bytes)
{
    const auto* config = reinterpret_cast<const ConfigurationDescriptor*>(bytes.data());
    std::vector<uint8_t> types;
    for (const Descriptor* d = getNextDescriptor(config, nullptr); d; d = getNextDescriptor(config, d)) {
        types.push_back(d->bDescriptorType);
    }
    return types;
}

TEST(KernelIOKitStandardUSBTests, WalksStopAtAZeroLengthAndAtTheTotalLength)
{
    struct Case
    {
        const char* name;
        std::vector<uint8_t> bytes;
        std::vector<uint8_t> types;
    };
    const std::vector<uint8_t> zeroLength{0, kDescriptorTypeEndpoint, 0x82, 0x05, 0, 4, 1};
    const std::vector<Case> cases{
        {"whole", configuration(join({kInterface, kIsochronousIn, kInterruptIn})), {4, 5, 5}},
        {"zero length", configuration(join({kInterface, zeroLength, kInterruptIn})), {4}},
        {"length 1", configuration(join({kInterface, {1, 5}, kInterruptIn})), {4}},
        {"total cuts an endpoint", configuration(join({kInterface, kIsochronousIn}), 9 + 9 + 6), {4}},
        {"total ends before", configuration(join({kInterface, kIsochronousIn}), 9 + 9), {4}},
        {"descriptor past the total", configuration(join({{20, 36}, std::vector<uint8_t>(18)}), 9 + 10), {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(walkTypes(c.bytes), c.types) << c.name;
    }
}

TEST(KernelIOKitStandardUSBTests, InterfaceAndEndpointWalksPassOverShortDescriptors)
{
    const std::vector<uint8_t> shortInterface{8, kDescriptorTypeInterface, 0, 0, 0, 1, 1, 0};
    const std::vector<uint8_t> shortEndpoint{6, kDescriptorTypeEndpoint, 0x82, 0x05, 0x00, 0x04};
    const auto bytes =
        configuration(join({shortInterface, kInterface, shortEndpoint, kIsochronousIn, kInterface}));
    const auto* config = reinterpret_cast<const ConfigurationDescriptor*>(bytes.data());

    const InterfaceDescriptor* interface = getNextInterfaceDescriptor(config, nullptr);
    ASSERT_NE(interface, nullptr);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(interface), bytes.data() + 9 + 8);
    const EndpointDescriptor* endpoint = getNextEndpointDescriptor(config, interface, nullptr);
    ASSERT_NE(endpoint, nullptr);
    EXPECT_EQ(getEndpointAddress(endpoint), 0x81);
    EXPECT_EQ(getNextEndpointDescriptor(config, interface, reinterpret_cast<const Descriptor*>(endpoint)),
              nullptr);
    const Descriptor* second = getNextDescriptorWithType(
        config, reinterpret_cast<const Descriptor*>(endpoint), kDescriptorTypeInterface);
    EXPECT_NE(second, nullptr);
    EXPECT_EQ(getNextAssociatedDescriptor(config, reinterpret_cast<const Descriptor*>(interface),
                                          reinterpret_cast<const Descriptor*>(endpoint)),
              nullptr);
}

TEST(KernelIOKitStandardUSBTests, EndpointFieldsDecode)
{
    struct Case
    {
        uint8_t address;
        uint8_t attributes;
        uint16_t maxPacket;
        EndpointDirection direction;
        EndpointType type;
        uint32_t bytesPerMicroframe;
    };
    const Case cases[] = {
        {0x81, 0x05, 0x0400, kEndpointDirectionIn, kEndpointTypeIsochronous, 1024},
        {0x01, 0x05, 0x1400, kEndpointDirectionOut, kEndpointTypeIsochronous, 3072},
        {0x02, 0x01, 0x0800 | 0x2D0, kEndpointDirectionOut, kEndpointTypeIsochronous, 1440},
        {0x83, 0x03, 0x0006, kEndpointDirectionIn, kEndpointTypeInterrupt, 6},
        {0x04, 0x02, 0x17FF, kEndpointDirectionOut, kEndpointTypeBulk, kMaxBytesPerMicroframe},
    };
    for (const Case& c : cases) {
        const EndpointDescriptor endpoint{7, kDescriptorTypeEndpoint, c.address, c.attributes, c.maxPacket,
                                          1};
        EXPECT_EQ(getEndpointDirection(&endpoint), c.direction) << int(c.address);
        EXPECT_EQ(getEndpointType(&endpoint), c.type) << int(c.address);
        EXPECT_EQ(getEndpointMaxPacketSize(&endpoint), c.bytesPerMicroframe) << int(c.address);
    }
}

} // namespace
