#pragma once

// The two faces in which the unit appears on the bus. Both hand everything to their unit.

#include <Wrenlet/WrenletHardware.h>

#include <KorvanInterface/KorvanDevice.h>
#include <SimUSB/Device.h>

#include <memory>

namespace Wrenlet {

class RunModeFace : public KorvanInterface::KorvanDevice
{
public:
    RunModeFace(const KorvanInterface::DescriptorOptions& options, std::weak_ptr<WrenletHardware> unit);

    void detached() override;
    void leave() { disconnect(); }

private:
    std::weak_ptr<WrenletHardware> fUnit;
};

class BootLoaderFace : public SimUSB::Device
{
public:
    BootLoaderFace(bool dataInterface, std::weak_ptr<WrenletHardware> unit);

    std::vector<uint8_t> deviceDescriptor() override;
    std::vector<uint8_t> configurationDescriptor(uint8_t index) override;
    std::optional<std::vector<uint8_t>> stringDescriptor(uint8_t index, uint16_t language) override;
    SimUSB::ControlAnswer control(const SimUSB::SetupPacket& setup, std::span<const uint8_t> data) override;
    SimUSB::InPacket in(uint8_t endpoint, std::span<uint8_t> space) override;
    void out(uint8_t endpoint, std::span<const uint8_t> bytes) override;
    void detached() override;

    void leave() { disconnect(); }

private:
    const bool fDataInterface;
    std::weak_ptr<WrenletHardware> fUnit;
};

} // namespace Wrenlet
