#include "WRNA.h"

#include "DeviceReplies.h"

WRNA::WRNA(std::shared_ptr<vork::IOCFComPtr<IOUSBDeviceInterface300>> device) : fDevice(std::move(device)) {}

IOReturn WRNA::DeviceRequest(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, void* data,
                             uint16_t length, uint32_t* done)
{
    std::shared_ptr<vork::IOCFComPtr<IOUSBDeviceInterface300>> device;
    {
        std::lock_guard lock(fLock);
        device = fDevice;
    }
    if (!device || !*device) {
        return kIOReturnNoDevice;
    }
    IOUSBDevRequest setup{requestType, request, value, index, length, data, 0};
    const IOReturn result = (*device->get())->DeviceRequest(device->get(), &setup);
    if (done != nullptr) {
        *done = setup.wLenDone;
    }
    return result;
}

IOReturn WRNA::RebootToBootLoader()
{
    return DeviceRequest(0x40, kRequestBootLoader, 0, kUpdaterIndex, nullptr, 0);
}

IOReturn WRNA::Reset()
{
    return DeviceRequest(0x40, kRequestReset, 0, kUpdaterIndex, nullptr, 0);
}

std::string WRNA::FirmwareVersion()
{
    return ReadVersion(kRequestFirmwareVersion);
}

std::string WRNA::FPGAVersion()
{
    return ReadVersion(kRequestFPGAVersion);
}

std::string WRNA::ReadVersion(uint8_t request)
{
    uint8_t reply[kVersionLength] = {};
    uint32_t done = 0;
    if (DeviceRequest(0xC0, request, 0, kUpdaterIndex, reply, kVersionLength, &done) != kIOReturnSuccess) {
        return {};
    }
    return DeviceReplies::VersionText(reply, done);
}

void WRNA::Detach()
{
    std::lock_guard lock(fLock);
    fDevice.reset();
}
