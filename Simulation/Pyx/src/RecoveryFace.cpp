#include "Faces.h"

#include <KorvanInterface/Descriptors.h>
#include <SimUSB/Setup.h>

namespace Pyx {

namespace {

constexpr uint8_t kDfuFunctional = 0x21;
constexpr uint8_t kManufacturerIndex = 1;
constexpr uint8_t kProductIndex = 2;
constexpr uint8_t kSerialIndex = 3;

} // namespace

RecoveryFace::RecoveryFace(uint16_t vendorID, uint16_t productID, std::string serial,
                           std::weak_ptr<PyxUnit> unit)
    : fVendorID(vendorID), fProductID(productID), fSerial(std::move(serial)), fUnit(std::move(unit))
{}

std::vector<uint8_t> RecoveryFace::deviceDescriptor()
{
    return {18,
            SimUSB::DescriptorType::kDevice,
            0x00,
            0x02,
            0x00,
            0x00,
            0x00,
            64,
            uint8_t(fVendorID),
            uint8_t(fVendorID >> 8),
            uint8_t(fProductID),
            uint8_t(fProductID >> 8),
            0x00,
            0x01,
            kManufacturerIndex,
            kProductIndex,
            kSerialIndex,
            1};
}

std::vector<uint8_t> RecoveryFace::configurationDescriptor(uint8_t index)
{
    if (index != 0)
        return {};
    return {9, SimUSB::DescriptorType::kConfiguration, 27, 0, 1, 1, 0, 0x80, 50,
            // Interface 0: the loader, with no endpoints of its own.
            9, SimUSB::DescriptorType::kInterface, 0, 0, 0, 0xFE, 0x01, 0x02, 0,
            // Its functional descriptor: download and upload, 1024-byte blocks.
            9, kDfuFunctional, 0x03, 0xE8, 0x03, uint8_t(kBlockSize), uint8_t(kBlockSize >> 8), 0x10, 0x01};
}

std::optional<std::vector<uint8_t>> RecoveryFace::stringDescriptor(uint8_t index, uint16_t)
{
    switch (index) {
    case 0:
        return std::vector<uint8_t>{4, SimUSB::DescriptorType::kString, 0x09, 0x04};
    case kManufacturerIndex:
        return KorvanInterface::stringDescriptor("Korvan");
    case kProductIndex:
        return KorvanInterface::stringDescriptor("Pyx Recovery");
    case kSerialIndex:
        return KorvanInterface::stringDescriptor(fSerial);
    default:
        return std::nullopt;
    }
}

SimUSB::ControlAnswer RecoveryFace::control(const SimUSB::SetupPacket& setup, std::span<const uint8_t> data)
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
    const auto unit = fUnit.lock();
    if (!unit)
        return ControlAnswer::hang();
    return unit->request(Mode::Recovery, setup, data).value_or(ControlAnswer::stall());
}

void RecoveryFace::detached()
{
    if (const auto unit = fUnit.lock())
        unit->faceDetached(this);
}

void RecoveryFace::leave(uint64_t awayTime, std::shared_ptr<SimUSB::Device> replacement)
{
    if (replacement)
        reEnumerate(awayTime, std::move(replacement));
    else
        disconnect();
}

} // namespace Pyx
