#include <SimUSBTesting/EchoDevice.h>

#include <algorithm>
#include <cstring>

using SimUSB::ControlAnswer;
using SimUSB::InPacket;

namespace SimUSBTesting {

namespace {

std::vector<uint8_t> stringOf(const char* text)
{
    std::vector<uint8_t> bytes{0, SimUSB::DescriptorType::kString};
    for (const char* c = text; *c != 0; ++c) {
        bytes.push_back(uint8_t(*c));
        bytes.push_back(0);
    }
    bytes[0] = uint8_t(bytes.size());
    return bytes;
}

} // namespace

EchoDevice::EchoDevice(uint16_t product) : fProduct(product) {}

std::vector<uint8_t> EchoDevice::deviceDescriptor()
{
    return {18,
            SimUSB::DescriptorType::kDevice,
            0x00,
            0x02,
            0xFF,
            0x00,
            0x00,
            64,
            uint8_t(kVendor),
            uint8_t(kVendor >> 8),
            uint8_t(fProduct),
            uint8_t(fProduct >> 8),
            0x00,
            0x01,
            1,
            2,
            3,
            1};
}

std::vector<uint8_t> EchoDevice::configurationDescriptor(uint8_t index)
{
    if (index != 0) {
        return {};
    }
    const uint8_t alternateOneClass = fAlternateOneClass;
    std::vector<uint8_t> bytes{
        9,
        2,
        0,
        0,
        2,
        1,
        0,
        0x80,
        50,
        // Interface 0: echo and status.
        9,
        4,
        0,
        0,
        3,
        0xFF,
        0,
        0,
        0,
        7,
        5,
        kBulkOut,
        2,
        0x00,
        0x02,
        0,
        7,
        5,
        kBulkIn,
        2,
        0x00,
        0x02,
        0,
        7,
        5,
        kInterruptIn,
        3,
        8,
        0,
        4,
        // Interface 1: streaming.
        9,
        4,
        1,
        0,
        0,
        0xFF,
        0,
        0,
        0,
        9,
        4,
        1,
        1,
        2,
        alternateOneClass,
        0,
        0,
        0,
        7,
        5,
        kIsochronousOut,
        5,
        uint8_t(kIsochronousMaxPacket),
        kIsochronousMaxPacket >> 8,
        1,
        7,
        5,
        kIsochronousIn,
        5,
        uint8_t(kIsochronousMaxPacket),
        kIsochronousMaxPacket >> 8,
        1,
    };
    bytes[2] = uint8_t(bytes.size());
    bytes[3] = uint8_t(bytes.size() >> 8);
    return bytes;
}

std::optional<std::vector<uint8_t>> EchoDevice::stringDescriptor(uint8_t index, uint16_t language)
{
    if (index == 0) {
        return std::vector<uint8_t>{4, SimUSB::DescriptorType::kString, 0x09, 0x04};
    }
    if (language != 0x0409) {
        return std::nullopt;
    }
    switch (index) {
    case 1:
        return stringOf("Tide");
    case 2:
        return stringOf("Echo");
    case 3:
        return stringOf("ECHO0001");
    default:
        return std::nullopt;
    }
}

ControlAnswer EchoDevice::control(const SimUSB::SetupPacket& setup, std::span<const uint8_t> data)
{
    std::lock_guard lock(fLock);
    fSetups.push_back(setup);
    if (setup.type() == 0) {
        switch (setup.bRequest) {
        case SimUSB::Request::kGetDescriptor:
            return answerGetDescriptor(setup);
        case SimUSB::Request::kSetAddress:
        case SimUSB::Request::kSetConfiguration:
        case SimUSB::Request::kClearFeature:
            return ControlAnswer::ack();
        case SimUSB::Request::kSetInterface:
            return (setup.wIndex == 0 && setup.wValue == 0) || (setup.wIndex == 1 && setup.wValue <= 1)
                       ? ControlAnswer::ack()
                       : ControlAnswer::stall();
        default:
            return ControlAnswer::stall();
        }
    }
    if (setup.bmRequestType == 0x40 && setup.bRequest == 1 && data.size() <= 64) {
        fStored.assign(data.begin(), data.end());
        return ControlAnswer::ack();
    }
    if (setup.bmRequestType == 0xC0 && setup.bRequest == 1) {
        return ControlAnswer::withData(fStored);
    }
    if (setup.bmRequestType == 0xC0 && setup.bRequest == 2) {
        return fVendorAnswer;
    }
    return ControlAnswer::stall();
}

InPacket EchoDevice::in(uint8_t endpoint, std::span<uint8_t> space)
{
    std::lock_guard lock(fLock);
    if (endpoint == kInterruptIn) {
        if (fInterrupts.empty()) {
            return InPacket::none();
        }
        std::vector<uint8_t> message = std::move(fInterrupts.front());
        fInterrupts.pop_front();
        const size_t length = std::min(message.size(), space.size());
        std::memcpy(space.data(), message.data(), length);
        return InPacket::bytes(length);
    }
    if (endpoint == kBulkIn && !fEcho.empty()) {
        const size_t length = std::min<size_t>({fEcho.size(), 512, space.size()});
        std::copy_n(fEcho.begin(), length, space.begin());
        fEcho.erase(fEcho.begin(), fEcho.begin() + ptrdiff_t(length));
        return InPacket::bytes(length);
    }
    return InPacket::none();
}

void EchoDevice::out(uint8_t endpoint, std::span<const uint8_t> bytes)
{
    std::lock_guard lock(fLock);
    if (endpoint == kBulkOut) {
        fEcho.insert(fEcho.end(), bytes.begin(), bytes.end());
    }
}

InPacket EchoDevice::isochronousIn(uint8_t endpoint, uint64_t microframe, std::span<uint8_t> space)
{
    std::lock_guard lock(fLock);
    if (endpoint != kIsochronousIn) {
        return InPacket::none();
    }
    fInMicroframes.push_back(microframe);
    const size_t length = std::min(fIsochronousInLength, space.size());
    std::memset(space.data(), int(microframe & 0xFF), length);
    std::memcpy(space.data(), &microframe, std::min<size_t>(8, length));
    return InPacket::bytes(length);
}

void EchoDevice::isochronousOut(uint8_t endpoint, uint64_t microframe, std::span<const uint8_t> bytes)
{
    std::lock_guard lock(fLock);
    if (endpoint == kIsochronousOut) {
        fOutPackets.push_back({microframe, std::vector<uint8_t>(bytes.begin(), bytes.end())});
    }
}

void EchoDevice::interfaceSet(uint8_t interface, uint8_t alternate)
{
    std::lock_guard lock(fLock);
    fInterfaceSettings.emplace_back(interface, alternate);
}

void EchoDevice::setAlternateOneClass(uint8_t interfaceClass)
{
    fAlternateOneClass = interfaceClass;
}

void EchoDevice::setVendorAnswer(ControlAnswer answer)
{
    std::lock_guard lock(fLock);
    fVendorAnswer = std::move(answer);
}

void EchoDevice::postInterrupt(std::vector<uint8_t> message)
{
    std::lock_guard lock(fLock);
    fInterrupts.push_back(std::move(message));
}

void EchoDevice::setIsochronousInLength(size_t length)
{
    std::lock_guard lock(fLock);
    fIsochronousInLength = length;
}

std::vector<SimUSB::SetupPacket> EchoDevice::setups() const
{
    std::lock_guard lock(fLock);
    return fSetups;
}

std::vector<std::pair<uint8_t, uint8_t>> EchoDevice::interfaceSettings() const
{
    std::lock_guard lock(fLock);
    return fInterfaceSettings;
}

std::vector<EchoDevice::OutPacket> EchoDevice::isochronousOutPackets() const
{
    std::lock_guard lock(fLock);
    return fOutPackets;
}

std::vector<uint64_t> EchoDevice::isochronousInMicroframes() const
{
    std::lock_guard lock(fLock);
    return fInMicroframes;
}

void EchoDevice::unplug()
{
    disconnect();
}

void EchoDevice::restart(uint64_t delay, std::shared_ptr<SimUSB::Device> replacement)
{
    reEnumerate(delay, std::move(replacement));
}

} // namespace SimUSBTesting
