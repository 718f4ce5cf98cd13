#include "Faces.h"

#include <SimUSB/Setup.h>

namespace Wrenlet {

namespace {

constexpr uint8_t kInterruptIn = 0x83;
constexpr uint8_t kCdcSetLineCoding = 0x20;
constexpr uint8_t kCdcGetLineCoding = 0x21;
constexpr uint8_t kCdcSetControlLineState = 0x22;

} // namespace

BootLoaderFace::BootLoaderFace(bool dataInterface, std::weak_ptr<WrenletHardware> unit)
    : fDataInterface(dataInterface), fUnit(std::move(unit))
{}

std::vector<uint8_t> BootLoaderFace::deviceDescriptor()
{
    return {18,
            SimUSB::DescriptorType::kDevice,
            0x00,
            0x02,
            0x02,
            0x00,
            0x00,
            64,
            uint8_t(kBootLoaderVendorID),
            uint8_t(kBootLoaderVendorID >> 8),
            uint8_t(kBootLoaderProductID),
            uint8_t(kBootLoaderProductID >> 8),
            0x10,
            0x01,
            0,
            0,
            0,
            1};
}

std::vector<uint8_t> BootLoaderFace::configurationDescriptor(uint8_t index)
{
    if (index != 0)
        return {};
    std::vector<uint8_t> bytes{9, SimUSB::DescriptorType::kConfiguration, 0, 0,
                               uint8_t(fDataInterface ? 2 : 1), 1, 0, 0xC0, 50,
                               // Interface 0: CDC communication, with its notification endpoint.
                               9, SimUSB::DescriptorType::kInterface, 0, 0, 1, 0x02, 0x02, 0x00, 0, 7,
                               SimUSB::DescriptorType::kEndpoint, kInterruptIn, 3, 64, 0, 16};
    if (fDataInterface) {
        const std::vector<uint8_t> data{// Interface 1: CDC data, bulk OUT first so that it is pipe 1.
                                        9,
                                        SimUSB::DescriptorType::kInterface,
                                        1,
                                        0,
                                        2,
                                        0x0A,
                                        0x00,
                                        0x00,
                                        0,
                                        7,
                                        SimUSB::DescriptorType::kEndpoint,
                                        kBootLoaderBulkOut,
                                        2,
                                        uint8_t(kBootLoaderMaxPacket),
                                        kBootLoaderMaxPacket >> 8,
                                        0,
                                        7,
                                        SimUSB::DescriptorType::kEndpoint,
                                        kBootLoaderBulkIn,
                                        2,
                                        uint8_t(kBootLoaderMaxPacket),
                                        kBootLoaderMaxPacket >> 8,
                                        0};
        bytes.insert(bytes.end(), data.begin(), data.end());
    }
    bytes[2] = uint8_t(bytes.size());
    bytes[3] = uint8_t(bytes.size() >> 8);
    return bytes;
}

std::optional<std::vector<uint8_t>> BootLoaderFace::stringDescriptor(uint8_t index, uint16_t)
{
    if (index == 0)
        return std::vector<uint8_t>{4, SimUSB::DescriptorType::kString, 0x09, 0x04};
    return std::nullopt;
}

SimUSB::ControlAnswer BootLoaderFace::control(const SimUSB::SetupPacket& setup, std::span<const uint8_t>)
{
    using namespace SimUSB::Request;
    using SimUSB::ControlAnswer;
    if (setup.type() == 0) {
        switch (setup.bRequest) {
        case kGetDescriptor:
            return answerGetDescriptor(setup);
        case kSetAddress:
            return ControlAnswer::ack();
        case kSetConfiguration:
            return setup.wValue <= 1 ? ControlAnswer::ack() : ControlAnswer::stall();
        default:
            return ControlAnswer::stall();
        }
    }
    if (setup.bmRequestType == 0x21 &&
        (setup.bRequest == kCdcSetLineCoding || setup.bRequest == kCdcSetControlLineState))
        return ControlAnswer::ack();
    if (setup.bmRequestType == 0xA1 && setup.bRequest == kCdcGetLineCoding)
        return ControlAnswer::withData({0x00, 0xC2, 0x01, 0x00, 0, 0, 8});
    return ControlAnswer::stall();
}

SimUSB::InPacket BootLoaderFace::in(uint8_t endpoint, std::span<uint8_t> space)
{
    const auto unit = fUnit.lock();
    if (!unit || endpoint != kBootLoaderBulkIn)
        return SimUSB::InPacket::none();
    return unit->bulkIn(space);
}

void BootLoaderFace::out(uint8_t endpoint, std::span<const uint8_t> bytes)
{
    if (const auto unit = fUnit.lock(); unit && endpoint == kBootLoaderBulkOut)
        unit->bulkOut(bytes);
}

void BootLoaderFace::detached()
{
    if (const auto unit = fUnit.lock())
        unit->faceDetached(this);
}

} // namespace Wrenlet
