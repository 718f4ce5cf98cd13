#include <SimUSB/Setup.h>

namespace SimUSB {

std::array<uint8_t, 8> SetupPacket::bytes() const
{
    return {
        bmRequestType,        bRequest,         uint8_t(wValue),      uint8_t(wValue >> 8), uint8_t(wIndex),
        uint8_t(wIndex >> 8), uint8_t(wLength), uint8_t(wLength >> 8)};
}

} // namespace SimUSB
