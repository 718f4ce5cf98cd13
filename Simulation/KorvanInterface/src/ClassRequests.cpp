// UAC2 CUR requests on the clock entities and the vendor requests of the streaming headers.

#include <KorvanInterface/KorvanDevice.h>

#include <algorithm>

using SimUSB::ControlAnswer;
using SimUSB::SetupPacket;

namespace KorvanInterface {

namespace {

constexpr uint8_t kCurrent = 1;
constexpr uint8_t kSamplingFrequencyControl = 1;
constexpr uint8_t kClockSelectorControl = 1;
constexpr uint8_t kStreamingHeaders = 2;

} // namespace

ControlAnswer KorvanDevice::classRequest(const SetupPacket& setup, std::span<const uint8_t> data)
{
    const bool get = setup.bmRequestType == 0xA1;
    if ((!get && setup.bmRequestType != 0x21) || setup.bRequest != kCurrent ||
        uint8_t(setup.wIndex) != kControlInterface || uint8_t(setup.wValue) != 0) {
        return ControlAnswer::stall();
    }
    const uint8_t entity = uint8_t(setup.wIndex >> 8);
    const uint8_t control = uint8_t(setup.wValue >> 8);
    const bool clockSource = entity == Entity::kClockSource ||
                             (entity == Entity::kSecondClockSource && fOptions.secondClockSource);
    if (clockSource && control == kSamplingFrequencyControl) {
        if (get) {
            return ControlAnswer::withData(
                {uint8_t(fRate), uint8_t(fRate >> 8), uint8_t(fRate >> 16), uint8_t(fRate >> 24)});
        }
        // Bit 1 of bmControls makes the frequency writable.
        if (setup.wLength != 4 || data.size() != 4 || (fOptions.clockSourceControls & 0x02) == 0) {
            return ControlAnswer::stall();
        }
        const uint32_t rate = uint32_t(data[0] | data[1] << 8 | data[2] << 16 | uint32_t(data[3]) << 24);
        if (std::find(kRates.begin(), kRates.end(), rate) == kRates.end()) {
            return ControlAnswer::stall();
        }
        fRate = rate;
        checkFamily(kPlaybackInterface);
        checkFamily(kRecordInterface);
        return ControlAnswer::ack();
    }
    if (entity == Entity::kClockSelector && fOptions.clockSelector && control == kClockSelectorControl) {
        if (get) {
            return ControlAnswer::withData({fPin});
        }
        const uint8_t pins = fOptions.secondClockSource ? 2 : 1;
        if (setup.wLength != 1 || data.size() != 1 || data[0] < 1 || data[0] > pins) {
            return ControlAnswer::stall();
        }
        fPin = data[0];
        return ControlAnswer::ack();
    }
    return ControlAnswer::stall();
}

// From product 14 on the vendor requests go to the interface; before it to the device.
bool KorvanDevice::recipientIsRight(uint8_t bmRequestType) const
{
    const uint8_t recipient = bmRequestType & 0x1F;
    return recipient == (fOptions.idProduct >= 14 ? 1 : 0);
}

ControlAnswer KorvanDevice::vendorRequest(const SetupPacket& setup)
{
    if (setup.bRequest != kStreamingHeaders || !recipientIsRight(setup.bmRequestType) || setup.wIndex != 0) {
        return ControlAnswer::stall();
    }
    if (setup.deviceToHost() && setup.wValue == 0 && setup.wLength >= 1) {
        return ControlAnswer::withData({fHeaderVersion});
    }
    if (!setup.deviceToHost() && setup.wValue == 1 && setup.wLength == 0) {
        if (fHeaderVersion == 0) {
            return ControlAnswer::stall();
        }
        fHeaderMode = true;
        return ControlAnswer::ack();
    }
    return ControlAnswer::stall();
}

} // namespace KorvanInterface
