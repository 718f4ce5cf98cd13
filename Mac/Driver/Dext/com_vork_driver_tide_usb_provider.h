#pragma once

// The hardware behind the control service, over USB: it selects the configuration, reads the
// device's identity, keeps the status reads running, sends control requests, finds channel names,
// and starts and stops the isochronous stream.

#include "com_vork_driver_tide_base_interface.h"
#include "com_vork_driver_tide_provider.h"
#include "com_vork_driver_tide_usb_io_stream.h"

#include <DriverKit/IOBufferMemoryDescriptor.h>
#include <DriverKit/IOLib.h>
#include <USBDriverKit/IOUSBHostInterface.h>
#include <USBDriverKit/IOUSBHostPipe.h>

class com_vork_driver_tide_control_interface;
class com_vork_driver_tide_usb_provider;

// One interrupt-IN read slot.
struct AsyncBulkRequest
{
    IOBufferMemoryDescriptor* fBuffer;
    OSAction* fCompletion;
    com_vork_driver_tide_usb_provider* provider;

    bool Init(uint64_t direction, uint32_t length, com_vork_driver_tide_usb_provider* prov,
              AsyncIOCallback callback);
    void Release();
};

class com_vork_driver_tide_usb_provider : public com_vork_driver_tide_provider
{
public:
    static com_vork_driver_tide_usb_provider*
    CreateUSBProvider(IOUSBHostInterface* interface, com_vork_driver_tide_control_interface* service);

    bool init() override;
    bool init(IOUSBHostInterface* interface, com_vork_driver_tide_control_interface* service);
    void free() override;

    void Stop() override;
    const char* GetGUID() const override;
    IODispatchQueue* GetBusWorkLoop() override;
    IOMemoryDescriptor* GetBufferDesc(int type) override;
    IOReturn StartAudioDMA(uint32_t inInterfaceNum, uint32_t inAlt, uint32_t inBytesPerFrame,
                           uint32_t outInterfaceNum, uint32_t outAlt, uint32_t outBytesPerFrame) override;
    IOReturn StopAudioDMA() override;
    IOReturn GetDeviceInfo(KorvanDeviceIO::DeviceInfoRequest* info) override;
    IOReturn SendUACControlRequest(const KorvanDeviceIO::USBUACControlRequest* request,
                                   KorvanDeviceIO::USBControlResponse* response) override;
    IOReturn SendVendorControlRequest(KorvanDeviceIO::USBVendorControlRequest* request,
                                      KorvanDeviceIO::USBControlResponse* response) override;
    IOReturn GetUSBConfig1Descriptors(KorvanDeviceIO::USBDescriptors* descriptors) override;
    IOReturn GetChannelNames(const KorvanDeviceIO::ChannelNamesRequest* request,
                             KorvanDeviceIO::ChannelNamesResponse* response) override;
    bool HardwareInit() override;
    void HardwareStop() override;
    uint8_t getSupportedStreamingHeadersVersionNumber() override;
    IOReturn setStreamingHeadersEnable(uint8_t version, bool enable) override;

    com_vork_driver_tide_control_interface* getUAC_service() const;
    com_vork_driver_tide_usb_io_stream* getStream() const;

    static void UACInReadCompletionProc(IOReturn status, uint32_t bytesTransferred,
                                        uint64_t completionTimestamp, void* context);

private:
    struct Ivars;

    bool readIdentity(IOUSBHostDevice* device);
    bool startStatusReads();
    void statusReadCompleted(IOReturn status, uint32_t bytesTransferred, AsyncBulkRequest* req);
    uint8_t queryStreamingHeadersSupport();
    IOReturn getChannelNamesOnBusQueue(const KorvanDeviceIO::ChannelNamesRequest* request,
                                       KorvanDeviceIO::ChannelNamesResponse* response);
    bool claimStreamingInterface(IOUSBHostInterface* iface, const IOUSBConfigurationDescriptor* configuration,
                                 uint8_t alternate, uint8_t direction, IOUSBHostInterface** slot,
                                 IOUSBHostPipe** pipe, bool* selectFailed);
    void releaseStreamingInterfaces();

    Ivars* ivars = nullptr;
};
