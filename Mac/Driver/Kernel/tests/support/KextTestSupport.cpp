#include <KextTestSupport.h>

#include <IOKit/IOBufferMemoryDescriptor.h>

#include <cstring>

namespace KextTesting {

OSDefineMetaClassAndStructors(KextRecordingProvider, com_vork_driver_tide_provider)
    OSDefineMetaClassAndStructors(KextTestControl, com_vork_driver_tide_control_interface)

        bool KextTestControl::sUseRecordingProvider = true;
bool KextTestControl::sFailProviderCreation = false;

IOMemoryDescriptor* KextRecordingProvider::GetBufferDesc(int memoryType)
{
    if (memoryType != 1 && memoryType != 2) {
        return nullptr;
    }
    IOBufferMemoryDescriptor*& ring = fRings[memoryType - 1];
    if (!ring) {
        ring =
            IOBufferMemoryDescriptor::withCapacity(KorvanDeviceIO::kRequestRingSizeBytes, kIODirectionInOut);
    }
    ring->retain();
    return ring;
}

IOReturn KextRecordingProvider::StartAudioDMA(uint32_t inInterfaceNum, uint32_t inAlt,
                                              uint32_t inBytesPerFrame, uint32_t outInterfaceNum,
                                              uint32_t outAlt, uint32_t outBytesPerFrame)
{
    fCalls.push_back("StartAudioDMA " + std::to_string(inInterfaceNum) + " " + std::to_string(inAlt) + " " +
                     std::to_string(inBytesPerFrame) + " " + std::to_string(outInterfaceNum) + " " +
                     std::to_string(outAlt) + " " + std::to_string(outBytesPerFrame));
    return fStartResult;
}

IOReturn KextRecordingProvider::StopAudioDMA()
{
    fCalls.push_back("StopAudioDMA");
    return kIOReturnSuccess;
}

IOReturn KextRecordingProvider::GetDeviceInfo(KorvanDeviceIO::DeviceInfoRequest* info)
{
    fCalls.push_back("GetDeviceInfo");
    std::strcpy(info->fUID, "ab12cd34");
    return kIOReturnSuccess;
}

IOReturn KextRecordingProvider::SendUACControlRequest(const KorvanDeviceIO::USBUACControlRequest*,
                                                      KorvanDeviceIO::USBControlResponse*)
{
    fCalls.push_back("SendUACControlRequest");
    return kIOReturnSuccess;
}

IOReturn KextRecordingProvider::SendVendorControlRequest(const KorvanDeviceIO::USBVendorControlRequest*,
                                                         KorvanDeviceIO::USBControlResponse*)
{
    fCalls.push_back("SendVendorControlRequest");
    return kIOReturnSuccess;
}

IOReturn KextRecordingProvider::GetUSBConfig1Descriptors(KorvanDeviceIO::USBDescriptors*)
{
    fCalls.push_back("GetUSBConfig1Descriptors");
    return kIOReturnSuccess;
}

IOReturn KextRecordingProvider::GetChannelNames(const KorvanDeviceIO::ChannelNamesRequest*,
                                                KorvanDeviceIO::ChannelNamesResponse*)
{
    fCalls.push_back("GetChannelNames");
    return kIOReturnSuccess;
}

bool KextRecordingProvider::HardwareInit()
{
    fCalls.push_back("HardwareInit");
    return fHardwareInitResult;
}

void KextRecordingProvider::HardwareStop()
{
    fCalls.push_back("HardwareStop");
}

void KextRecordingProvider::free()
{
    OSSafeReleaseNULL(fRings[0]);
    OSSafeReleaseNULL(fRings[1]);
    com_vork_driver_tide_provider::free();
}

com_vork_driver_tide_provider* KextTestControl::CreateProvider(IOUSBHostInterface* interface)
{
    if (sFailProviderCreation) {
        return nullptr;
    }
    if (!sUseRecordingProvider) {
        return com_vork_driver_tide_control_interface::CreateProvider(interface);
    }
    auto* provider = new KextRecordingProvider;
    provider->init();
    return provider;
}

KorvanInterface::DescriptorOptions wrenlet(KorvanInterface::Variant variant)
{
    return KorvanInterface::variantOptions(KorvanInterface::Model::Wrenlet, KorvanDeviceIdentities::kVendorID,
                                           variant);
}

void KextFixture::SetUp()
{
    KextTestControl::sUseRecordingProvider = true;
    KextTestControl::sFailProviderCreation = false;
}

void KextFixture::plugIn(const KorvanInterface::DescriptorOptions& options)
{
    fModel = std::make_shared<KorvanInterface::KorvanDevice>(options);
    plugIn(fModel);
}

void KextFixture::plugIn(std::shared_ptr<SimUSB::Device> device)
{
    SimUSB::Bus::shared().attach(kPort, std::move(device));
    ASSERT_TRUE(DarwinTesting::eventually([] {
        auto device = SimUSB::Bus::shared().device(kPort);
        return device && device->connected();
    }));
    fDevice = KernelIOKitTesting::publishUSBDevice(kPort);
    ASSERT_NE(fDevice, nullptr);
    fControlNub = KernelIOKitTesting::interfaceNub(fDevice, 0);
    ASSERT_NE(fControlNub, nullptr);
}

KextTestControl* KextFixture::startControl(bool recordingProvider)
{
    KextTestControl::sUseRecordingProvider = recordingProvider;
    auto* control = new KextTestControl;
    EXPECT_TRUE(control->init());
    EXPECT_TRUE(control->attach(fControlNub));
    if (!control->start(fControlNub)) {
        control->terminate();
        control->release();
        return nullptr;
    }
    fControl = control;
    return control;
}

KextRecordingProvider* KextFixture::recording() const
{
    return fControl ? OSDynamicCast(KextRecordingProvider, fControl->GetProvider()) : nullptr;
}

void KextFixture::TearDown()
{
    unplug();
    KextTestControl::sUseRecordingProvider = true;
    KextTestControl::sFailProviderCreation = false;
    KernelIOKitTesting::clearFailures();
}

void KextFixture::unplug()
{
    if (fDevice) {
        fDevice->terminate();
        OSSafeReleaseNULL(fDevice);
    }
    OSSafeReleaseNULL(fControl);
    SimUSB::Bus::shared().detach(kPort);
    // Aborted transfers complete on the device's work loop after the terminate returned.
    for (const char* className : {"com_vork_driver_tide_base_interface", "com_vork_driver_tide_provider",
                                  "com_vork_driver_tide_userClient", "IOUSBHostPipe", "IOUSBHostDevice"}) {
        EXPECT_TRUE(DarwinTesting::eventually([&] {
            return KernelIOKitTesting::liveObjects(className) == 0;
        })) << className
            << " " << KernelIOKitTesting::liveObjects(className);
    }
}

} // namespace KextTesting
