#pragma once

// A control service whose hardware is a recording provider: every provider call is noted and
// answered from a script, so the user client and the control service can be driven without touching
// a device. It matches devices of its own vendor id, which the driver's personalities leave alone.

#include <com_vork_driver_tide_control_interface.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace DextTesting {

constexpr uint16_t kRecordingVendor = 0x3A1D;

class RecordingProvider : public com_vork_driver_tide_provider
{
public:
    void free() override;
    const char* GetGUID() const override { return "recorded"; }
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
    uint8_t getSupportedStreamingHeadersVersionNumber() override { return 0; }
    IOReturn setStreamingHeadersEnable(uint8_t version, bool enable) override;

    // The calls so far, by name, in order.
    std::vector<std::string> calls();
    void clearCalls();

    // Answers.
    std::atomic<IOReturn> startResult{kIOReturnSuccess};
    std::atomic<bool> wakeResult{true};

private:
    void note(const char* call);

    std::mutex fLock;
    std::vector<std::string> fCalls;
};

class RecordingControl : public com_vork_driver_tide_control_interface
{
protected:
    com_vork_driver_tide_provider* CreateProvider(IOUSBHostInterface* interface) override;
};

// The started recording control service's provider, or null.
RecordingProvider* recordingProvider();

// Registers the recording control service (once per process), on devices of kRecordingVendor.
void registerRecordingControl();

} // namespace DextTesting
