#include <UpdateDevice.h>

#include <KorvanDeviceIdentities.h>

#include <algorithm>
#include <vector>

namespace {

constexpr uint16_t kUnknownProduct = 0xFFFF;

} // namespace

UpdateDevice::UpdateDevice(const DeviceWrapper& wrapper)
    : fDevice(DeviceWrapper::Handle{std::shared_ptr<USBDevice>()}, kUnknownProduct, {}, {})
{
    setDevice(wrapper);
}

void UpdateDevice::setDevice(const DeviceWrapper& wrapper)
{
    {
        std::lock_guard lock(fLock);
        fDevice = wrapper;
    }
    if (!wrapper)
        return;
    fLastName = wrapper.productName();
    fLastSerial = wrapper.serialNumber();
    fHeader = getFirmwareHeaderFromDevice();
}

DeviceWrapper UpdateDevice::getDevice() const
{
    std::lock_guard lock(fLock);
    return fDevice;
}

UpdateDevice::Mode UpdateDevice::mode() const
{
    switch (getDevice().productId()) {
    case KorvanDeviceIdentities::kPyxRecoveryProductID:
        return RecoveryMode{};
    case KorvanDeviceIdentities::kPyxProductID:
        return RunMode{};
    default:
        return std::monostate{};
    }
}

bool UpdateDevice::isValid() const
{
    return !std::holds_alternative<std::monostate>(mode());
}

FirmwareHeader UpdateDevice::getFirmwareHeader()
{
    if (fHeader)
        return *fHeader;
    if (!isValid())
        return {};
    fHeader = getFirmwareHeaderFromDevice();
    return *fHeader;
}

FirmwareHeader UpdateDevice::getFirmwareHeaderFromDevice() const
{
    FirmwareHeader header{};
    const DeviceWrapper device = getDevice();
    const Mode current = mode();
    if (std::holds_alternative<RecoveryMode>(current)) {
        std::vector<uint8_t> block(1024, 0);
        USBControlTransfer upload{0xA1, 0x02, 0, 0, 1024, block.data(), 0};
        if (device.controlTransfer(upload))
            std::copy_n(block.begin(), header.size(), header.begin());
    } else if (std::holds_alternative<RunMode>(current)) {
        USBControlTransfer read{0xC1, 0x05, 0, 7, uint16_t(header.size()), header.data(), 0};
        device.controlTransfer(read);
    }
    return header;
}

DeviceDescription UpdateDevice::getDescription()
{
    return {fLastName, fLastSerial, FirmwareVersion(getFirmwareHeader())};
}

void UpdateDevice::rebootIntoRecovery()
{
    const DeviceWrapper device = getDevice();
    if (!std::holds_alternative<RunMode>(mode()) || !device)
        return;
    USBControlTransfer reboot{0x41, 0x03, 0, 7, 0, nullptr, 0};
    device.controlTransfer(reboot);
}
