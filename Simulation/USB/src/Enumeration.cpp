// The standard enumeration a host runs when a device appears on a port.

#include "BusCore.h"

#include <os/log.h>

namespace SimUSB {

namespace {

constexpr uint32_t kEnumerationTimeoutMs = 5000;

bool failed(uint8_t port, const char* step, Status status)
{
    os_log_error(OS_LOG_DEFAULT, "SimUSB: enumeration of the device on port %u failed at %s (%08x)", port,
                 step, status);
    return false;
}

} // namespace

bool BusCore::enumerate(const std::shared_ptr<DeviceState>& device)
{
    const uint8_t port = device->port;
    std::vector<uint8_t> buffer(0xFFFF);

    ControlResult result =
        control(device, {0x80, Request::kGetDescriptor, 0x0100, 0, 18}, buffer.data(), kEnumerationTimeoutMs);
    if (result.status != kSuccess || result.length < 18) {
        return failed(port, "GET_DESCRIPTOR(device)", result.status);
    }
    std::vector<uint8_t> deviceDescriptor(buffer.begin(), buffer.begin() + result.length);

    uint8_t address;
    {
        std::lock_guard lock(fLock);
        address = allocateAddress();
    }
    result = control(device, {0x00, Request::kSetAddress, address, 0, 0}, nullptr, kEnumerationTimeoutMs);
    if (result.status != kSuccess) {
        return failed(port, "SET_ADDRESS", result.status);
    }

    result =
        control(device, {0x80, Request::kGetDescriptor, 0x0200, 0, 9}, buffer.data(), kEnumerationTimeoutMs);
    if (result.status != kSuccess || result.length < 4) {
        return failed(port, "GET_DESCRIPTOR(configuration)", result.status);
    }
    const uint16_t totalLength = uint16_t(buffer[2] | buffer[3] << 8);
    result = control(device, {0x80, Request::kGetDescriptor, 0x0200, 0, totalLength}, buffer.data(),
                     kEnumerationTimeoutMs);
    if (result.status != kSuccess || result.length < 9) {
        return failed(port, "GET_DESCRIPTOR(configuration)", result.status);
    }
    std::vector<uint8_t> configuration(buffer.begin(), buffer.begin() + result.length);

    // A device without strings answers string 0 with a STALL; only silence fails enumeration.
    std::vector<uint16_t> languages;
    result = control(device, {0x80, Request::kGetDescriptor, 0x0300, 0, 255}, buffer.data(),
                     kEnumerationTimeoutMs);
    if (result.status == kSuccess) {
        for (uint32_t i = 2; i + 1 < result.length; i += 2) {
            languages.push_back(uint16_t(buffer[i] | buffer[i + 1] << 8));
        }
    } else if (result.status != kStalled) {
        return failed(port, "GET_DESCRIPTOR(string 0)", result.status);
    }

    {
        std::lock_guard lock(fLock);
        device->deviceDescriptor = std::move(deviceDescriptor);
        device->configuration = std::move(configuration);
        device->languages = std::move(languages);
    }
    if (device->model->enumeratedUnconfigured()) {
        return true;
    }
    const uint8_t value = device->configuration[5];
    result = control(device, {0x00, Request::kSetConfiguration, value, 0, 0}, nullptr, kEnumerationTimeoutMs);
    if (result.status != kSuccess) {
        return failed(port, "SET_CONFIGURATION", result.status);
    }
    return true;
}

uint8_t BusCore::allocateAddress()
{
    for (int tries = 0; tries < 127; ++tries) {
        const uint8_t candidate = fNextAddress;
        fNextAddress = fNextAddress == 127 ? 1 : fNextAddress + 1;
        bool used = false;
        for (const auto& state : fPorts) {
            used = used || (state && state->address == candidate);
        }
        if (!used) {
            return candidate;
        }
    }
    return fNextAddress;
}

} // namespace SimUSB
