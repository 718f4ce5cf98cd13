#pragma once

#include <KorvanInterface/KorvanDevice.h>
#include <KorvanInterface/Variants.h>

#include <vector>

namespace KorvanTests {

// Any vendor id: the model takes the one its host gives.
constexpr uint16_t kVendor = 0x3A1C;

// Sends a request straight to the model and, when acknowledged, tells it the event the bus would.
inline SimUSB::ControlAnswer request(KorvanInterface::KorvanDevice& device, const SimUSB::SetupPacket& setup,
                                     std::vector<uint8_t> data = {})
{
    SimUSB::ControlAnswer answer = device.control(setup, data);
    if (answer.kind == SimUSB::ControlAnswer::Kind::Ack && setup.type() == 0) {
        if (setup.bRequest == SimUSB::Request::kSetConfiguration) {
            device.configurationSet(uint8_t(setup.wValue));
        } else if (setup.bRequest == SimUSB::Request::kSetInterface) {
            device.interfaceSet(uint8_t(setup.wIndex), uint8_t(setup.wValue));
        }
    }
    return answer;
}

inline std::vector<uint8_t> littleEndian(uint32_t value)
{
    return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

// Configures the model, sets the rate and, when asked, header mode, then starts both streams at
// the rate's alternate.
inline void startStreaming(KorvanInterface::KorvanDevice& device, uint32_t rate, bool headers)
{
    request(device, {0x00, SimUSB::Request::kSetConfiguration, 1, 0, 0});
    request(device, {0x21, 1, 0x0100, 0x1000, 4}, littleEndian(rate));
    if (headers) {
        const bool toInterface = device.descriptors().device[10] >= 14;
        request(device, {uint8_t(toInterface ? 0x41 : 0x40), 2, 1, 0, 0});
    }
    KorvanInterface::Family family;
    KorvanInterface::familyOfRate(rate, &family);
    const auto alternate = uint16_t(int(family) + 1);
    request(device,
            {0x01, SimUSB::Request::kSetInterface, alternate, KorvanInterface::kPlaybackInterface, 0});
    request(device, {0x01, SimUSB::Request::kSetInterface, alternate, KorvanInterface::kRecordInterface, 0});
}

} // namespace KorvanTests
