#pragma once

// The 8-byte setup stage of a control transfer and the standard request numbers.

#include <array>
#include <cstdint>

namespace SimUSB {

struct SetupPacket
{
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;

    bool deviceToHost() const { return (bmRequestType & 0x80) != 0; }
    // 0 standard, 1 class, 2 vendor.
    uint8_t type() const { return (bmRequestType >> 5) & 3; }
    // 0 device, 1 interface, 2 endpoint.
    uint8_t recipient() const { return bmRequestType & 0x1F; }
    std::array<uint8_t, 8> bytes() const;
    bool operator==(const SetupPacket&) const = default;
};

namespace Request {
constexpr uint8_t kGetStatus = 0;
constexpr uint8_t kClearFeature = 1;
constexpr uint8_t kSetFeature = 3;
constexpr uint8_t kSetAddress = 5;
constexpr uint8_t kGetDescriptor = 6;
constexpr uint8_t kGetConfiguration = 8;
constexpr uint8_t kSetConfiguration = 9;
constexpr uint8_t kGetInterface = 10;
constexpr uint8_t kSetInterface = 11;
} // namespace Request

namespace DescriptorType {
constexpr uint8_t kDevice = 1;
constexpr uint8_t kConfiguration = 2;
constexpr uint8_t kString = 3;
constexpr uint8_t kInterface = 4;
constexpr uint8_t kEndpoint = 5;
constexpr uint8_t kInterfaceAssociation = 11;
constexpr uint8_t kClassInterface = 0x24;
constexpr uint8_t kClassEndpoint = 0x25;
} // namespace DescriptorType

// Transfer types as in bmAttributes bits 0-1 of an endpoint descriptor.
enum class TransferType : uint8_t
{
    Control = 0,
    Isochronous = 1,
    Bulk = 2,
    Interrupt = 3,
};

constexpr uint8_t kFeatureEndpointHalt = 0;

// Bytes an endpoint moves per microframe: the packet size times the transactions per microframe,
// at most three transactions' worth, which is all a high-speed microframe carries.
constexpr uint32_t kMaxBytesPerMicroframe = 3072;

constexpr uint32_t bytesPerMicroframe(uint16_t wMaxPacketSize)
{
    const uint32_t bytes = uint32_t(wMaxPacketSize & 0x7FF) * (((wMaxPacketSize >> 11) & 3) + 1);
    return bytes < kMaxBytesPerMicroframe ? bytes : kMaxBytesPerMicroframe;
}

} // namespace SimUSB
