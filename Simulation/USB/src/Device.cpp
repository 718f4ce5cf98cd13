#include "BusCore.h"

#include <SimUSB/Device.h>

namespace SimUSB {

Device::~Device() = default;

InPacket Device::in(uint8_t, std::span<uint8_t>)
{
    return InPacket::none();
}

void Device::out(uint8_t, std::span<const uint8_t>) {}

InPacket Device::isochronousIn(uint8_t, uint64_t, std::span<uint8_t>)
{
    return InPacket::none();
}

void Device::isochronousOut(uint8_t, uint64_t, std::span<const uint8_t>) {}

void Device::addressSet(uint8_t) {}

void Device::configurationSet(uint8_t) {}

void Device::interfaceSet(uint8_t, uint8_t) {}

void Device::detached() {}

void Device::setEnumeratedUnconfigured(bool unconfigured)
{
    fUnconfigured = unconfigured;
}

bool Device::enumeratedUnconfigured() const
{
    return fUnconfigured;
}

ControlAnswer Device::answerGetDescriptor(const SetupPacket& setup)
{
    if (setup.bmRequestType != 0x80 || setup.bRequest != Request::kGetDescriptor) {
        return ControlAnswer::stall();
    }
    const uint8_t type = uint8_t(setup.wValue >> 8);
    const uint8_t index = uint8_t(setup.wValue);
    switch (type) {
    case DescriptorType::kDevice:
        return ControlAnswer::withData(deviceDescriptor());
    case DescriptorType::kConfiguration: {
        std::vector<uint8_t> bytes = configurationDescriptor(index);
        if (bytes.empty()) {
            return ControlAnswer::stall();
        }
        return ControlAnswer::withData(std::move(bytes));
    }
    case DescriptorType::kString: {
        auto bytes = stringDescriptor(index, setup.wIndex);
        if (!bytes) {
            return ControlAnswer::stall();
        }
        return ControlAnswer::withData(std::move(*bytes));
    }
    default:
        return ControlAnswer::stall();
    }
}

std::pair<std::shared_ptr<BusCore>, uint8_t> Device::link()
{
    std::lock_guard lock(fLinkLock);
    return {fBus.lock(), fPort};
}

void Device::disconnect()
{
    const auto [bus, port] = link();
    if (bus) {
        bus->requestDetach(port, this);
    }
}

void Device::reEnumerate(uint64_t delay, std::shared_ptr<Device> replacement)
{
    const auto [bus, port] = link();
    if (bus) {
        bus->requestReEnumerate(port, this, delay, std::move(replacement));
    }
}

} // namespace SimUSB
