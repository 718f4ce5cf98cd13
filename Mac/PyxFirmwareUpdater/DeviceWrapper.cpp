#include <DeviceWrapper.h>

namespace {

constexpr size_t kProductIdOffset = 10;
constexpr size_t kProductStringIndexOffset = 15;
constexpr size_t kSerialStringIndexOffset = 16;

} // namespace

DeviceWrapper::DeviceWrapper(std::shared_ptr<USBDevice> device) : fDevice(std::move(device))
{
    initInfo();
}

DeviceWrapper::DeviceWrapper(std::shared_ptr<TideDevice> device) : fDevice(std::move(device)) {}

DeviceWrapper::DeviceWrapper(Handle device, uint16_t productId, std::string productName,
                             std::string serialNumber)
    : fDevice(std::move(device)), fProductId(productId), fProductName(std::move(productName)),
      fSerialNumber(std::move(serialNumber))
{}

void DeviceWrapper::initInfo()
{
    const auto* usb = std::get_if<std::shared_ptr<USBDevice>>(&fDevice);
    if (usb == nullptr || !*usb)
        return;
    const std::vector<uint8_t> descriptor = (*usb)->getDeviceDescriptor();
    fProductId = uint16_t(descriptor[kProductIdOffset] | descriptor[kProductIdOffset + 1] << 8);
    fProductName = (*usb)->getStringDescriptor(descriptor[kProductStringIndexOffset]);
    fSerialNumber = (*usb)->getStringDescriptor(descriptor[kSerialStringIndexOffset]);
}

bool DeviceWrapper::controlTransfer(USBControlTransfer& transfer) const
{
    const auto* usb = std::get_if<std::shared_ptr<USBDevice>>(&fDevice);
    return usb != nullptr && *usb && (*usb)->controlTransfer(transfer);
}

DeviceWrapper::operator bool() const
{
    return std::visit([](const auto& handle) { return handle != nullptr; }, fDevice);
}

bool DeviceWrapper::operator==(const DeviceWrapper& other) const
{
    return fDevice == other.fDevice;
}
