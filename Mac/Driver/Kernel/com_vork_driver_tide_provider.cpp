#include "com_vork_driver_tide_provider.h"

OSDefineMetaClassAndStructors(com_vork_driver_tide_provider, OSObject)

    void com_vork_driver_tide_provider::Stop()
{}

IOReturn com_vork_driver_tide_provider::InitHardware()
{
    return kIOReturnSuccess;
}

const char* com_vork_driver_tide_provider::GetGUID() const
{
    return nullptr;
}

IOWorkLoop* com_vork_driver_tide_provider::GetBusWorkLoop() const
{
    return nullptr;
}

IOMemoryDescriptor* com_vork_driver_tide_provider::GetBufferDesc(int)
{
    return nullptr;
}

IOReturn com_vork_driver_tide_provider::StartAudioDMA(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                                      uint32_t)
{
    return kIOReturnSuccess;
}

IOReturn com_vork_driver_tide_provider::StopAudioDMA()
{
    return kIOReturnSuccess;
}

IOReturn com_vork_driver_tide_provider::GetDeviceInfo(KorvanDeviceIO::DeviceInfoRequest*)
{
    return kIOReturnSuccess;
}

IOReturn com_vork_driver_tide_provider::SendUACControlRequest(const KorvanDeviceIO::USBUACControlRequest*,
                                                              KorvanDeviceIO::USBControlResponse*)
{
    return kIOReturnSuccess;
}

IOReturn
com_vork_driver_tide_provider::SendVendorControlRequest(const KorvanDeviceIO::USBVendorControlRequest*,
                                                        KorvanDeviceIO::USBControlResponse*)
{
    return kIOReturnSuccess;
}

IOReturn com_vork_driver_tide_provider::GetUSBConfig1Descriptors(KorvanDeviceIO::USBDescriptors*)
{
    return kIOReturnSuccess;
}

IOReturn com_vork_driver_tide_provider::GetChannelNames(const KorvanDeviceIO::ChannelNamesRequest*,
                                                        KorvanDeviceIO::ChannelNamesResponse*)
{
    return kIOReturnSuccess;
}

bool com_vork_driver_tide_provider::HardwareInit()
{
    return false;
}

void com_vork_driver_tide_provider::HardwareStop() {}
