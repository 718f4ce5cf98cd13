#pragma once

// The Wrenlet on the USB bus: its identity, UAC2 and vendor control requests, configuration
// descriptors, channel names and interrupt-IN status reads, and audio start and stop.

#include "com_vork_driver_tide_provider.h"

#include <IOKit/IOBufferMemoryDescriptor.h>
#include <IOKit/usb/IOUSBHostInterface.h>

class com_vork_driver_tide_control_interface;
class com_vork_driver_tide_usb_io_stream;

class com_vork_driver_tide_usb_provider : public com_vork_driver_tide_provider
{
    OSDeclareDefaultStructors(com_vork_driver_tide_usb_provider)

        public : static constexpr size_t kInterruptReads = 8;

    // An initialised provider, or null.
    static com_vork_driver_tide_usb_provider*
    CreateUSBProvider(IOUSBHostInterface* interface, com_vork_driver_tide_control_interface* control);

    virtual IOReturn init(IOUSBHostInterface* interface, com_vork_driver_tide_control_interface* control);

    void Stop() override;
    const char* GetGUID() const override { return fUID; }
    IOWorkLoop* GetBusWorkLoop() const override { return fBusWorkLoop; }
    IOMemoryDescriptor* GetBufferDesc(int memoryType) override;
    IOReturn StartAudioDMA(uint32_t inInterfaceNum, uint32_t inAlt, uint32_t inBytesPerFrame,
                           uint32_t outInterfaceNum, uint32_t outAlt, uint32_t outBytesPerFrame) override;
    IOReturn StopAudioDMA() override;
    IOReturn GetDeviceInfo(KorvanDeviceIO::DeviceInfoRequest* info) override;
    IOReturn SendUACControlRequest(const KorvanDeviceIO::USBUACControlRequest* request,
                                   KorvanDeviceIO::USBControlResponse* response) override;
    IOReturn SendVendorControlRequest(const KorvanDeviceIO::USBVendorControlRequest* request,
                                      KorvanDeviceIO::USBControlResponse* response) override;
    IOReturn GetUSBConfig1Descriptors(KorvanDeviceIO::USBDescriptors* descriptors) override;
    IOReturn GetChannelNames(const KorvanDeviceIO::ChannelNamesRequest* request,
                             KorvanDeviceIO::ChannelNamesResponse* response) override;
    bool HardwareInit() override;
    void HardwareStop() override;

    // Demands a maximum bus stall and interrupt delay of `n` on the control service; 0 drops them.
    void SetMaxBusStall(uint32_t n);
    // Notification type 1 to the audio client.
    void PostAudioEngineError(const void* data, uint32_t length);

    void free() override;

private:
    using OSObject::init;

    struct InterruptRead
    {
        IOBufferMemoryDescriptor* fBuffer = nullptr;
        com_vork_driver_tide_usb_provider* fProvider = nullptr;
        IOUSBHostCompletion fCompletion{};
    };

    static void InterruptCompleted(void* owner, void* parameter, IOReturn status, uint32_t bytesTransferred);
    IOReturn StartInterruptReads();
    IOReturn QueueInterruptRead(InterruptRead& read);
    void ReleaseInterruptPipe();
    void ReadIdentity(IOUSBHostDevice* device);
    IOReturn ControlRequest(StandardUSB::DeviceRequest& request, void* data,
                            KorvanDeviceIO::USBControlResponse* response);
    // The names of one direction into 32 entries of 32 bytes; the count, or -1 when the walk fails.
    int ChannelNames(uint8_t interfaceNumber, uint8_t alternate, bool input,
                     char (*names)[KorvanDeviceIO::kNameFieldBytes]);
    // Opens the streaming interface of that number at the alternate and copies its isochronous
    // endpoint of the direction; false (the interface closed again) when it has none.
    bool OpenStreamingInterface(uint8_t number, uint8_t alternate, bool input, IOUSBHostInterface** interface,
                                IOUSBHostPipe** pipe);
    void CloseStreamingInterface(IOUSBHostInterface*& interface, const char* direction);

    com_vork_driver_tide_control_interface* fControl = nullptr;
    IOUSBHostInterface* fInterface = nullptr;
    IOUSBHostDevice* fDevice = nullptr;
    IOWorkLoop* fBusWorkLoop = nullptr;
    const StandardUSB::ConfigurationDescriptor* fConfiguration = nullptr;
    char fUID[17] = {};
    char fProductName[65] = {};
    uint32_t fDeviceRelease = 0;
    uint32_t fProductID = 0;
    IOUSBHostPipe* fInterruptPipe = nullptr;
    uint32_t fInterruptMaxPacket = 0;
    InterruptRead fReads[kInterruptReads];
    bool fStopped = false;
    com_vork_driver_tide_usb_io_stream* fStream = nullptr;
    IOUSBHostInterface* fInStreamInterface = nullptr;
    IOUSBHostInterface* fOutStreamInterface = nullptr;
    bool fAudioStarted = false;
};
