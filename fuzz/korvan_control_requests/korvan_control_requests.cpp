// Random control requests, with their data, to the Korvan model: every one gets an answer or a
// STALL, and the device's state stays one the device can be in.

#include <KorvanInterface/KorvanDevice.h>
#include <KorvanInterface/Variants.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

using KorvanInterface::KorvanDevice;

namespace {

void check(bool condition)
{
    if (!condition) {
        __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) {
        return 0;
    }
    const auto& variants = KorvanInterface::variants();
    const auto model = KorvanInterface::kModels[data[0] % KorvanInterface::kModels.size()];
    const auto variant = variants[data[1] % variants.size()].variant;
    KorvanDevice device(KorvanInterface::variantOptions(model, 0x3A1C, variant));
    std::array<uint8_t, 4096> packet{};
    uint64_t microframe = 0;
    for (size_t at = 2; at + 8 <= size;) {
        const SimUSB::SetupPacket setup{data[at], data[at + 1], uint16_t(data[at + 2] | data[at + 3] << 8),
                                        uint16_t(data[at + 4] | data[at + 5] << 8),
                                        uint16_t(data[at + 6] | data[at + 7] << 8)};
        at += 8;
        const size_t carried = setup.deviceToHost() ? 0 : std::min<size_t>(setup.wLength, size - at);
        const SimUSB::ControlAnswer answer =
            device.control(setup, std::span<const uint8_t>(data + at, carried));
        at += carried;
        check(answer.kind != SimUSB::ControlAnswer::Kind::Hang && answer.delay == 0);
        // What the bus tells the device once it has acknowledged a standard request.
        if (answer.kind == SimUSB::ControlAnswer::Kind::Ack && setup.type() == 0) {
            if (setup.bRequest == SimUSB::Request::kSetAddress) {
                device.addressSet(uint8_t(setup.wValue));
            } else if (setup.bRequest == SimUSB::Request::kSetConfiguration) {
                device.configurationSet(uint8_t(setup.wValue));
            } else if (setup.bRequest == SimUSB::Request::kSetInterface) {
                device.interfaceSet(uint8_t(setup.wIndex), uint8_t(setup.wValue));
            }
        }
        const uint32_t rate = device.sampleRate();
        check(std::find(KorvanInterface::kRates.begin(), KorvanInterface::kRates.end(), rate) !=
              KorvanInterface::kRates.end());
        check(device.selectorPin() >= 1 && device.selectorPin() <= 2);
        check(device.configuration() <= 1);
        for (uint8_t interface = 0; interface <= KorvanInterface::kRecordInterface; ++interface) {
            check(device.alternate(interface) <= 3);
        }
        const SimUSB::InPacket in =
            device.isochronousIn(KorvanInterface::Endpoint::kRecord, microframe, std::span<uint8_t>(packet));
        check(in.length <= packet.size());
        device.isochronousOut(KorvanInterface::Endpoint::kPlayback, microframe,
                              std::span<const uint8_t>(packet.data(), std::min<size_t>(in.length, 3072)));
        ++microframe;
    }
    return 0;
}
