#pragma once

// The hardware as the control service and its user clients see it. The USB provider implements it;
// what this class answers is what a missing device answers.

#include <IOKit/IOMemoryDescriptor.h>
#include <IOKit/IOWorkLoop.h>
#include <libkern/c++/OSObject.h>

#include <KorvanDeviceIO.h>

class com_vork_driver_tide_provider : public OSObject
{
    OSDeclareDefaultStructors(com_vork_driver_tide_provider)

        public : virtual void Stop();
    virtual IOReturn InitHardware();
    virtual const char* GetGUID() const;
    virtual IOWorkLoop* GetBusWorkLoop() const;
    // Retained for the caller.
    virtual IOMemoryDescriptor* GetBufferDesc(int memoryType);
    virtual IOReturn StartAudioDMA(uint32_t inInterfaceNum, uint32_t inAlt, uint32_t inBytesPerFrame,
                                   uint32_t outInterfaceNum, uint32_t outAlt, uint32_t outBytesPerFrame);
    virtual IOReturn StopAudioDMA();
    virtual IOReturn GetDeviceInfo(KorvanDeviceIO::DeviceInfoRequest* info);
    virtual IOReturn SendUACControlRequest(const KorvanDeviceIO::USBUACControlRequest* request,
                                           KorvanDeviceIO::USBControlResponse* response);
    virtual IOReturn SendVendorControlRequest(const KorvanDeviceIO::USBVendorControlRequest* request,
                                              KorvanDeviceIO::USBControlResponse* response);
    virtual IOReturn GetUSBConfig1Descriptors(KorvanDeviceIO::USBDescriptors* descriptors);
    virtual IOReturn GetChannelNames(const KorvanDeviceIO::ChannelNamesRequest* request,
                                     KorvanDeviceIO::ChannelNamesResponse* response);
    virtual bool HardwareInit();
    virtual void HardwareStop();
};
