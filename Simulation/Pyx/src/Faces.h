#pragma once

// The two faces in which the unit appears on the bus. Both hand the update requests to their unit.

#include <Pyx/PyxUnit.h>

#include <KorvanInterface/KorvanDevice.h>
#include <SimUSB/Device.h>

#include <memory>
#include <string>

namespace Pyx {

class RunModeFace : public KorvanInterface::KorvanDevice
{
public:
    RunModeFace(const KorvanInterface::DescriptorOptions& options, std::weak_ptr<PyxUnit> unit);

    void detached() override;
    void leave(uint64_t awayTime, std::shared_ptr<SimUSB::Device> replacement);

private:
    std::weak_ptr<PyxUnit> fUnit;
};

class RecoveryFace : public SimUSB::Device
{
public:
    RecoveryFace(uint16_t vendorID, uint16_t productID, std::string serial, std::weak_ptr<PyxUnit> unit);

    std::vector<uint8_t> deviceDescriptor() override;
    std::vector<uint8_t> configurationDescriptor(uint8_t index) override;
    std::optional<std::vector<uint8_t>> stringDescriptor(uint8_t index, uint16_t language) override;
    SimUSB::ControlAnswer control(const SimUSB::SetupPacket& setup, std::span<const uint8_t> data) override;
    void detached() override;

    void leave(uint64_t awayTime, std::shared_ptr<SimUSB::Device> replacement);

private:
    const uint16_t fVendorID;
    const uint16_t fProductID;
    const std::string fSerial;
    std::weak_ptr<PyxUnit> fUnit;
};

} // namespace Pyx
