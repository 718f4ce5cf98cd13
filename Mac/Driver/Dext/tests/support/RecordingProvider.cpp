#include "RecordingProvider.h"

#include <DriverKit/IOBufferMemoryDescriptor.h>
#include <DriverKit/OSNumber.h>
#include <DriverKit/OSString.h>
#include <DriverKit/platform/Drivers.h>

#include <atomic>
#include <cstring>

namespace DextTesting {

namespace {

std::atomic<RecordingProvider*> gProvider{nullptr};

void setString(OSDictionary* dictionary, const char* key, const char* value)
{
    OSSharedPtr<OSString> string(OSString::withCString(value), OSNoRetain);
    dictionary->setObject(key, string.get());
}

void setNumber(OSDictionary* dictionary, const char* key, uint64_t value)
{
    OSSharedPtr<OSNumber> number(OSNumber::withNumber(value, 32), OSNoRetain);
    dictionary->setObject(key, number.get());
}

} // namespace

void RecordingProvider::free()
{
    RecordingProvider* self = this;
    gProvider.compare_exchange_strong(self, nullptr);
    com_vork_driver_tide_provider::free();
}

void RecordingProvider::note(const char* call)
{
    std::lock_guard lock(fLock);
    fCalls.emplace_back(call);
}

std::vector<std::string> RecordingProvider::calls()
{
    std::lock_guard lock(fLock);
    return fCalls;
}

void RecordingProvider::clearCalls()
{
    std::lock_guard lock(fLock);
    fCalls.clear();
}

IOMemoryDescriptor* RecordingProvider::GetBufferDesc(int type)
{
    note("GetBufferDesc");
    if (type != 1 && type != 2) {
        return nullptr;
    }
    IOBufferMemoryDescriptor* ring = nullptr;
    IOBufferMemoryDescriptor::Create(kIOMemoryDirectionInOut, KorvanDeviceIO::kRequestRingSizeBytes, 0,
                                     &ring);
    return ring;
}

IOReturn RecordingProvider::StartAudioDMA(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t)
{
    note("StartAudioDMA");
    return startResult.load();
}

IOReturn RecordingProvider::StopAudioDMA()
{
    note("StopAudioDMA");
    return kIOReturnSuccess;
}

IOReturn RecordingProvider::GetDeviceInfo(KorvanDeviceIO::DeviceInfoRequest* info)
{
    note("GetDeviceInfo");
    KorvanDeviceIO::WriteNameField(info->fUID, "recorded");
    KorvanDeviceIO::WriteNameField(info->fProductName, "Recorder");
    info->fDeviceRelease = 0x0100;
    info->fProductID = 12;
    return kIOReturnSuccess;
}

IOReturn RecordingProvider::SendUACControlRequest(const KorvanDeviceIO::USBUACControlRequest* request,
                                                  KorvanDeviceIO::USBControlResponse* response)
{
    note("SendUACControlRequest");
    response->fLength = request->fLength;
    std::memset(response->fData, 0x5A, request->fLength);
    return kIOReturnSuccess;
}

IOReturn RecordingProvider::SendVendorControlRequest(KorvanDeviceIO::USBVendorControlRequest* request,
                                                     KorvanDeviceIO::USBControlResponse* response)
{
    note("SendVendorControlRequest");
    response->fLength = static_cast<uint8_t>(request->fLength > 16 ? 16 : request->fLength);
    return kIOReturnSuccess;
}

IOReturn RecordingProvider::GetUSBConfig1Descriptors(KorvanDeviceIO::USBDescriptors* descriptors)
{
    note("GetUSBConfig1Descriptors");
    descriptors->fLength = 9;
    return kIOReturnSuccess;
}

IOReturn RecordingProvider::GetChannelNames(const KorvanDeviceIO::ChannelNamesRequest*,
                                            KorvanDeviceIO::ChannelNamesResponse* response)
{
    note("GetChannelNames");
    KorvanDeviceIO::WriteNameField(response->fInNames[0], "In 1");
    return kIOReturnSuccess;
}

bool RecordingProvider::HardwareInit()
{
    note("HardwareInit");
    return wakeResult.load();
}

void RecordingProvider::HardwareStop()
{
    note("HardwareStop");
}

IOReturn RecordingProvider::setStreamingHeadersEnable(uint8_t, bool)
{
    note("setStreamingHeadersEnable");
    return kIOReturnUnsupported;
}

com_vork_driver_tide_provider* RecordingControl::CreateProvider(IOUSBHostInterface*)
{
    auto* provider = new RecordingProvider;
    provider->init();
    gProvider.store(provider);
    return provider;
}

RecordingProvider* recordingProvider()
{
    return gProvider.load();
}

void registerRecordingControl()
{
    static std::once_flag once;
    std::call_once(once, [] {
        OSDictionary* personality = OSDictionary::withCapacity(8);
        setString(personality, "IOProviderClass", "IOUSBHostInterface");
        setString(personality, "IOUserClass", "DextRecordingControl");
        setNumber(personality, "IOProbeScore", 1000);
        setNumber(personality, "idVendor", kRecordingVendor);
        setNumber(personality, "bInterfaceClass", 1);
        setNumber(personality, "bInterfaceSubClass", 1);
        OSSharedPtr<OSDictionary> client(OSDictionary::withCapacity(1), OSNoRetain);
        setString(client.get(), "IOUserClass", "com_vork_driver_tide_userClient");
        personality->setObject("UserClientProperties", client.get());
        DriverKitPlatform::registerDriver({{"DextRecordingControl", "com_vork_driver_tide_control_interface",
                                            []() -> OSObject* { return new RecordingControl; }}},
                                          {personality});
        personality->release();
    });
}

} // namespace DextTesting
