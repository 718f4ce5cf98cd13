// What the bus learns from standard requests the device has acknowledged: its address, its
// configuration and alternate settings, and from them the endpoints that exist.

#include "BusCore.h"

namespace SimUSB {

void BusCore::applyStandardRequest(const std::shared_ptr<DeviceState>& device, const SetupPacket& setup)
{
    if (setup.type() != 0 || setup.deviceToHost()) {
        return;
    }
    Device& model = *device->model;
    switch (setup.bRequest) {
    case Request::kSetAddress:
        if (setup.recipient() == 0) {
            {
                std::lock_guard lock(fLock);
                device->address = uint8_t(setup.wValue & 0x7F);
            }
            model.addressSet(uint8_t(setup.wValue & 0x7F));
        }
        break;
    case Request::kSetConfiguration:
        if (setup.recipient() == 0) {
            {
                std::lock_guard lock(fLock);
                device->configurationValue = uint8_t(setup.wValue);
                device->alternates.fill(0);
                rebuildEndpoints(*device, -1);
            }
            model.configurationSet(uint8_t(setup.wValue));
        }
        break;
    case Request::kSetInterface:
        if (setup.recipient() == 1) {
            const uint8_t interface = uint8_t(setup.wIndex);
            {
                std::lock_guard lock(fLock);
                device->alternates[interface & 31] = uint8_t(setup.wValue);
                rebuildEndpoints(*device, interface & 31);
            }
            model.interfaceSet(interface, uint8_t(setup.wValue));
        }
        break;
    case Request::kClearFeature:
        if (setup.recipient() == 2 && setup.wValue == kFeatureEndpointHalt) {
            std::lock_guard lock(fLock);
            device->endpoints[endpointSlot(uint8_t(setup.wIndex))].halted = false;
        }
        break;
    default:
        break;
    }
}

void BusCore::rebuildEndpoints(DeviceState& device, int interface)
{
    for (size_t slot = 1; slot < device.endpoints.size(); ++slot) {
        EndpointState& endpoint = device.endpoints[slot];
        if (endpoint.present && (interface < 0 || endpoint.info.interface == interface)) {
            completeAll(endpoint, kAborted);
            endpoint.present = false;
            endpoint.halted = false;
        }
    }
    const std::vector<uint8_t>& bytes = device.configuration;
    if (bytes.size() < 9 || bytes[5] != device.configurationValue || device.configurationValue == 0) {
        return;
    }
    const size_t total = std::min<size_t>(bytes.size(), size_t(bytes[2] | bytes[3] << 8));
    int currentInterface = -1;
    bool currentAlternate = false;
    for (size_t at = 0; at + 2 <= total;) {
        const uint8_t length = bytes[at];
        if (length < 2 || at + length > total) {
            break;
        }
        const uint8_t type = bytes[at + 1];
        if (type == DescriptorType::kInterface && length >= 9) {
            currentInterface = bytes[at + 2] & 31;
            currentAlternate = device.alternates[size_t(currentInterface)] == bytes[at + 3];
        } else if (type == DescriptorType::kEndpoint && length >= 7 && currentInterface >= 0 &&
                   currentAlternate && (interface < 0 || interface == currentInterface)) {
            const uint8_t address = bytes[at + 2];
            EndpointState& endpoint = device.endpoints[endpointSlot(address)];
            if (!endpoint.present && (address & 0x0F) != 0) {
                endpoint.present = true;
                endpoint.info.address = address;
                endpoint.info.interface = uint8_t(currentInterface);
                endpoint.info.type = TransferType(bytes[at + 3] & 3);
                endpoint.info.wMaxPacketSize = uint16_t(bytes[at + 4] | bytes[at + 5] << 8);
                endpoint.info.bytesPerMicroframe = bytesPerMicroframe(endpoint.info.wMaxPacketSize);
                endpoint.info.bInterval = bytes[at + 6];
            }
        }
        at += length;
    }
}

} // namespace SimUSB
