#pragma once

// A Wrenlet on the simulated bus with kernel nubs, the control service started on its audio-control
// interface (with the real USB provider or a recording one), and the log lines the driver wrote.

#include "com_vork_driver_tide_control_interface.h"
#include "com_vork_driver_tide_usb_provider.h"
#include "com_vork_driver_tide_userClient.h"

#include <KernelIOKitTesting/KernelIOKitTesting.h>

#include <DarwinTesting/Eventually.h>
#include <DarwinTesting/LogCapture.h>
#include <KorvanDeviceIdentities.h>
#include <KorvanInterface/KorvanDevice.h>
#include <KorvanInterface/Variants.h>
#include <SimUSB/Bus.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace KextTesting {

// A provider with scripted answers that records what it is asked.
class KextRecordingProvider : public com_vork_driver_tide_provider
{
    OSDeclareDefaultStructors(KextRecordingProvider)

        public : const char* GetGUID() const override
    {
        return "ab12cd34";
    }
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
    void free() override;

    std::vector<std::string> fCalls;
    IOReturn fStartResult = kIOReturnSuccess;
    bool fHardwareInitResult = true;
    IOBufferMemoryDescriptor* fRings[2] = {};
};

// The control service with the provider a test chose.
class KextTestControl : public com_vork_driver_tide_control_interface
{
    OSDeclareDefaultStructors(KextTestControl)

        public : static bool sUseRecordingProvider;
    static bool sFailProviderCreation;

protected:
    com_vork_driver_tide_provider* CreateProvider(IOUSBHostInterface* interface) override;
};

class KextFixture : public testing::Test
{
protected:
    static constexpr uint8_t kPort = 5;

    void SetUp() override;
    void TearDown() override;

    // The Wrenlet (or a variant) on the bus, with kernel nubs.
    void plugIn(const KorvanInterface::DescriptorOptions& options);
    // Another device on the bus, with kernel nubs.
    void plugIn(std::shared_ptr<SimUSB::Device> device);
    // The device terminated and off the bus, with every object of the driver and the nubs gone.
    void unplug();
    // The control service started on the audio-control interface; null when start failed.
    KextTestControl* startControl(bool recording = true);
    KextRecordingProvider* recording() const;
    std::vector<std::string> logLines() const { return fLog.texts(DarwinTesting::LogSource::OSLog); }
    bool logged(const std::string& line) const
    {
        const auto lines = logLines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    DarwinTesting::LogCapture fLog;
    std::shared_ptr<KorvanInterface::KorvanDevice> fModel;
    IOUSBHostDevice* fDevice = nullptr;
    IOUSBHostInterface* fControlNub = nullptr;
    KextTestControl* fControl = nullptr;
};

KorvanInterface::DescriptorOptions
wrenlet(KorvanInterface::Variant variant = KorvanInterface::Variant::Standard);

} // namespace KextTesting
