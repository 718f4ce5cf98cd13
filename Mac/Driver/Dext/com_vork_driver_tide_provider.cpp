#include "com_vork_driver_tide_provider.h"

#include <DriverKit/OSMetaClass.h>

OSDefineMetaClassAndStructors(com_vork_driver_tide_provider, OSObject);

void com_vork_driver_tide_provider::Stop() {}

IOReturn com_vork_driver_tide_provider::InitHardware()
{
    return kIOReturnSuccess;
}

const char* com_vork_driver_tide_provider::GetGUID() const
{
    return nullptr;
}

IODispatchQueue* com_vork_driver_tide_provider::GetBusWorkLoop()
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
    return kProviderNotImplemented;
}

IOReturn com_vork_driver_tide_provider::StopAudioDMA()
{
    return kProviderNotImplemented;
}

IOReturn com_vork_driver_tide_provider::GetDeviceInfo(KorvanDeviceIO::DeviceInfoRequest*)
{
    return kProviderNotImplemented;
}

IOReturn com_vork_driver_tide_provider::SendUACControlRequest(const KorvanDeviceIO::USBUACControlRequest*,
                                                              KorvanDeviceIO::USBControlResponse*)
{
    return kProviderNotImplemented;
}

IOReturn com_vork_driver_tide_provider::SendVendorControlRequest(KorvanDeviceIO::USBVendorControlRequest*,
                                                                 KorvanDeviceIO::USBControlResponse*)
{
    return kProviderNotImplemented;
}

IOReturn com_vork_driver_tide_provider::GetUSBConfig1Descriptors(KorvanDeviceIO::USBDescriptors*)
{
    return kProviderNotImplemented;
}

IOReturn com_vork_driver_tide_provider::GetChannelNames(const KorvanDeviceIO::ChannelNamesRequest*,
                                                        KorvanDeviceIO::ChannelNamesResponse*)
{
    return kProviderNotImplemented;
}

bool com_vork_driver_tide_provider::HardwareInit()
{
    return false;
}

void com_vork_driver_tide_provider::HardwareStop() {}

uint8_t com_vork_driver_tide_provider::getSupportedStreamingHeadersVersionNumber()
{
    return 0;
}

IOReturn com_vork_driver_tide_provider::setStreamingHeadersEnable(uint8_t, bool)
{
    return kIOReturnUnsupported;
}
