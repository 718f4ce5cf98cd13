#include "BusCore.h"

#include <SimUSB/HostDevice.h>

namespace SimUSB {

HostDevice::HostDevice(std::shared_ptr<BusCore> bus, std::shared_ptr<DeviceState> state)
    : fBus(std::move(bus)), fState(std::move(state))
{}

HostDevice::~HostDevice() = default;

uint8_t HostDevice::port() const
{
    return fState->port;
}

uint8_t HostDevice::address() const
{
    std::lock_guard lock(fBus->fLock);
    return fState->address;
}

bool HostDevice::connected() const
{
    std::lock_guard lock(fBus->fLock);
    return fState->connected;
}

// Set once by enumeration, before the handle exists.
const std::vector<uint8_t>& HostDevice::deviceDescriptor() const
{
    return fState->deviceDescriptor;
}

const std::vector<uint8_t>& HostDevice::configurationDescriptor() const
{
    return fState->configuration;
}

const std::vector<uint16_t>& HostDevice::languages() const
{
    return fState->languages;
}

uint8_t HostDevice::configurationValue() const
{
    std::lock_guard lock(fBus->fLock);
    return fState->configurationValue;
}

uint8_t HostDevice::alternateSetting(uint8_t interface) const
{
    std::lock_guard lock(fBus->fLock);
    return fState->alternates[interface & 31];
}

std::optional<EndpointInfo> HostDevice::endpoint(uint8_t address) const
{
    std::lock_guard lock(fBus->fLock);
    const EndpointState& endpoint = fState->endpoints[endpointSlot(address)];
    if (!fState->connected || !endpoint.present || endpoint.info.address != address) {
        return std::nullopt;
    }
    return endpoint.info;
}

ControlResult HostDevice::control(const SetupPacket& setup, uint8_t* data, uint32_t timeoutMs)
{
    return fBus->control(fState, setup, data, timeoutMs);
}

Status HostDevice::submit(uint8_t endpoint, uint8_t* buffer, uint32_t length, uint32_t timeoutMs,
                          Completion completion, uint32_t noDataTimeoutMs)
{
    return fBus->submit(fState, endpoint, buffer, length, timeoutMs, completion, noDataTimeoutMs);
}

Status HostDevice::submitIsochronous(uint8_t endpoint, uint8_t* data, size_t dataLength,
                                     IsochronousFrame* frameList, uint32_t frameCount, uint64_t firstFrame,
                                     Completion completion)
{
    return fBus->submitIsochronous(fState, endpoint, data, dataLength, frameList, frameCount, firstFrame,
                                   completion);
}

void HostDevice::abort(uint8_t endpoint, Status status)
{
    fBus->abort(fState, endpoint, status);
}

FrameReading HostDevice::readFrame() const
{
    return fBus->fFrameClock.read();
}

} // namespace SimUSB
