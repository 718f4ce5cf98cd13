#include "com_vork_driver_tide_usb_provider.h"

#include "DextReport.h"
#include "RecursiveLocker.h"
#include "UACDescriptors.h"
#include "com_vork_driver_tide_control_interface.h"
#include "com_vork_driver_tide_userClient.h"
#include "with_gate_closed.h"

#include <DriverKit/OSMetaClass.h>
#include <DriverKit/OSString.h>
#include <USBDriverKit/IOUSBHostDevice.h>

#include <KorvanDeviceIdentities.h>

#include <cstring>

OSDefineMetaClassAndStructors(com_vork_driver_tide_usb_provider, com_vork_driver_tide_provider);

using namespace KorvanDeviceIO;

namespace {

constexpr uint32_t kStatusReads = 8;
constexpr size_t kUIDBytes = 17;
constexpr size_t kProductBytes = 65;
constexpr uint64_t kControlBufferBytes = kControlDataBytes;
constexpr uint64_t kStreamingBusStall = 5000;
constexpr uint8_t kStreamingHeadersRequest = 2;
constexpr uint8_t kHighestHeadersVersion = 2;

// Vendor request types, as indices into the driver's table.
constexpr uint32_t kVendorOutToDevice = 0;
constexpr uint32_t kVendorInFromDevice = 1;
constexpr uint32_t kVendorOutToInterface = 2;
constexpr uint32_t kVendorInFromInterface = 3;

// String descriptors as the device gives them; index 0 is the language table, never a string.
class DeviceStringReader : public StringDescriptorReader
{
public:
    explicit DeviceStringReader(IOUSBHostDevice* device) : fDevice(device) {}

    bool read(uint8_t index, uint8_t (&descriptor)[kStringDescriptorBytes]) override
    {
        if (index == 0 || fDevice == nullptr) {
            return false;
        }
        const IOUSBStringDescriptor* string = fDevice->CopyStringDescriptor(index, 0);
        if (string == nullptr) {
            return false;
        }
        std::memcpy(descriptor, string, string->bLength);
        IOUSBHostFreeDescriptor(string);
        return true;
    }

private:
    IOUSBHostDevice* fDevice;
};

bool isDeviceToHost(uint32_t type)
{
    return (type & 1) != 0;
}

} // namespace

struct com_vork_driver_tide_usb_provider::Ivars
{
    char UID[kUIDBytes];
    char productName[kProductBytes];
    uint16_t idProduct;
    uint16_t bcdDevice;
    com_vork_driver_tide_control_interface* fDriver;
    IOUSBHostInterface* fUACInterface;
    IOUSBHostPipe* fUACIntInPipe;
    AsyncBulkRequest fUACInRequests[kStatusReads];
    IOUSBHostInterface* fIsocInInterface;
    IOUSBHostInterface* fIsocOutInterface;
    com_vork_driver_tide_usb_io_stream* fIOStream;
    IODispatchQueue* fBusWorkLoop;
    bool fAudioDMAStarted;
    IOBufferMemoryDescriptor* fUACControlRequestBuf;
    IOBufferMemoryDescriptor* fVendorControlRequestBuf;
    IORecursiveLock* fUACControlRequestLock;
    IORecursiveLock* fVendorControlRequestLock;
    uint8_t supportedHeadersVersion;
};

bool AsyncBulkRequest::Init(uint64_t direction, uint32_t length, com_vork_driver_tide_usb_provider* prov,
                            AsyncIOCallback callback)
{
    DextLog("AsyncBulkRequest::Init");
    if (prov == nullptr) {
        ReportBooleanError("prov");
        return false;
    }
    com_vork_driver_tide_control_interface* service = prov->getUAC_service();
    if (service == nullptr) {
        ReportBooleanError("prov->getUAC_service()");
        return false;
    }
    if (callback == nullptr) {
        ReportBooleanError("callback");
        return false;
    }
    uint64_t existing = 0;
    if (fBuffer == nullptr || fBuffer->GetLength(&existing) != kIOReturnSuccess || existing != length) {
        OSSafeReleaseNULL(fBuffer);
        if (IOBufferMemoryDescriptor::Create(direction, length, 0, &fBuffer) != kIOReturnSuccess) {
            DextLog("IOBufferMemoryDescriptor::Create failed for %s", "req.fBuffer");
            return false;
        }
        if (fBuffer->SetLength(length) != kIOReturnSuccess) {
            DextLog("IOBufferMemoryDescriptor::SetLength failed for %s", "req.fBuffer");
            return false;
        }
    }
    provider = prov;
    OSSafeReleaseNULL(fCompletion);
    const kern_return_t ret = service->CreateActionIOUSBHostPipe_CompleteAsyncIO(
        sizeof(CompletionReference<AsyncIOCallback>), &fCompletion);
    if (ret != kIOReturnSuccess) {
        ReportError(ret,
                    "service->CreateActionIOUSBHostPipe_CompleteAsyncIO(sizeof(IOUSBHostPipe_CompleteAsyncIO_"
                    "Vars), &req.fCompletion)");
        return false;
    }
    auto* cbvars = static_cast<CompletionReference<AsyncIOCallback>*>(fCompletion->GetReference());
    if (cbvars == nullptr) {
        ReportBooleanError("cbvars");
        return false;
    }
    *cbvars = {callback, this};
    return true;
}

void AsyncBulkRequest::Release()
{
    OSSafeReleaseNULL(fBuffer);
    OSSafeReleaseNULL(fCompletion);
}

com_vork_driver_tide_usb_provider*
com_vork_driver_tide_usb_provider::CreateUSBProvider(IOUSBHostInterface* interface,
                                                     com_vork_driver_tide_control_interface* service)
{
    auto* provider = new com_vork_driver_tide_usb_provider;
    if (!provider->init() || !provider->init(interface, service)) {
        provider->release();
        return nullptr;
    }
    return provider;
}

bool com_vork_driver_tide_usb_provider::init()
{
    if (!com_vork_driver_tide_provider::init()) {
        return false;
    }
    ivars = static_cast<Ivars*>(IOMallocZero(sizeof(Ivars)));
    if (ivars == nullptr) {
        return false;
    }
    kern_return_t ret = IOBufferMemoryDescriptor::Create(kIOMemoryDirectionInOut, kControlBufferBytes, 0,
                                                         &ivars->fUACControlRequestBuf);
    if (ret == kIOReturnSuccess) {
        ret = ivars->fUACControlRequestBuf->SetLength(kControlBufferBytes);
    }
    if (ret != kIOReturnSuccess) {
        DextLog("Failed to create UAC control request buffer, error %08xu", ret);
        return false;
    }
    ret = IOBufferMemoryDescriptor::Create(kIOMemoryDirectionInOut, kControlBufferBytes, 0,
                                           &ivars->fVendorControlRequestBuf);
    if (ret == kIOReturnSuccess) {
        ret = ivars->fVendorControlRequestBuf->SetLength(kControlBufferBytes);
    }
    if (ret != kIOReturnSuccess) {
        DextLog("Failed to create vendor control request buffer, error %08xu", ret);
        return false;
    }
    ivars->fUACControlRequestLock = IORecursiveLockAlloc();
    if (ivars->fUACControlRequestLock == nullptr) {
        DextLog("Failed to allocate fUACControlRequestLock");
        return false;
    }
    ivars->fVendorControlRequestLock = IORecursiveLockAlloc();
    if (ivars->fVendorControlRequestLock == nullptr) {
        DextLog("Failed to allocate fVendorControlRequestLock");
        return false;
    }
    return true;
}

bool com_vork_driver_tide_usb_provider::init(IOUSBHostInterface* interface,
                                             com_vork_driver_tide_control_interface* service)
{
    if (interface == nullptr || service == nullptr) {
        return false;
    }
    ivars->fUACInterface = interface;
    ivars->fDriver = service;
    IOUSBHostDevice* device = nullptr;
    if (interface->CopyDevice(&device) != kIOReturnSuccess) {
        return false;
    }
    OSSharedPtr<IOUSBHostDevice> deviceHeld(device, OSNoRetain);
    const IOUSBConfigurationDescriptor* configuration = device->CopyConfigurationDescriptor(0);
    if (configuration == nullptr) {
        return false;
    }
    const uint8_t configurationValue = configuration->bConfigurationValue;
    IOUSBHostFreeDescriptor(configuration);
    kern_return_t ret = device->SetConfiguration(configurationValue, false);
    if (ret != kIOReturnSuccess) {
        ReportError(ret, "usbDevice->SetConfiguration(cd->bConfigurationValue, false)");
        return false;
    }
    ret = IODispatchQueue::Create(kUSBWorkQueueName, 0, 0, &ivars->fBusWorkLoop);
    if (ret != kIOReturnSuccess) {
        ReportError(ret, "IODispatchQueue::Create(\"VORKUSBWorkQueue\", 0, 0, &ivars->fBusWorkLoop)");
        return false;
    }
    ret = service->SetDispatchQueue(kUSBWorkQueueName, ivars->fBusWorkLoop);
    if (ret != kIOReturnSuccess) {
        ReportError(ret, "fDriver->SetDispatchQueue(\"VORKUSBWorkQueue\", ivars->fBusWorkLoop)");
        return false;
    }
    if (!readIdentity(device) || !startStatusReads()) {
        return false;
    }
    const uint8_t version = queryStreamingHeadersSupport();
    if (version <= kHighestHeadersVersion) {
        ivars->supportedHeadersVersion = version;
    }
    ivars->fIOStream = com_vork_driver_tide_usb_io_stream::CreateStream(this, ivars->fBusWorkLoop);
    if (ivars->fIOStream == nullptr) {
        ReportBooleanError("ivars->fIOStream = com_vork_driver_tide_usb_io_stream::CreateStream(this, "
                           "ivars->fBusWorkLoop)");
        return false;
    }
    return true;
}

bool com_vork_driver_tide_usb_provider::readIdentity(IOUSBHostDevice* device)
{
    const IOUSBDeviceDescriptor* descriptor = device->CopyDeviceDescriptor();
    if (descriptor == nullptr) {
        return false;
    }
    DeviceStringReader reader(device);
    // Both fields keep room for their terminator, whatever the device sends.
    GetStringDescriptor(reader, descriptor->iSerialNumber, ivars->UID, kUIDBytes);
    for (char* c = ivars->UID; *c != 0; ++c) {
        if (*c >= 'A' && *c <= 'Z') {
            *c = static_cast<char>(*c + 32);
        }
    }
    GetStringDescriptor(reader, descriptor->iProduct, ivars->productName, kProductBytes);
    DextLog("USBProvider UID %s\n", ivars->UID);
    DextLog("USBProvider Product %s\n", ivars->productName);
    ivars->idProduct = descriptor->idProduct;
    ivars->bcdDevice = descriptor->bcdDevice;
    IOUSBHostFreeDescriptor(descriptor);
    return true;
}

bool com_vork_driver_tide_usb_provider::startStatusReads()
{
    const IOUSBConfigurationDescriptor* configuration = ivars->fUACInterface->CopyConfigurationDescriptor();
    const IOUSBEndpointDescriptor* endpoint =
        FindEndpoint(configuration, ivars->fUACInterface->GetInterfaceDescriptor(configuration),
                     kIOUSBEndpointTypeInterrupt, kIOUSBEndpointDirectionIn);
    if (endpoint == nullptr || ivars->fUACInterface->CopyPipe(endpoint->bEndpointAddress,
                                                              &ivars->fUACIntInPipe) != kIOReturnSuccess) {
        if (configuration != nullptr) {
            IOUSBHostFreeDescriptor(configuration);
        }
        DextLog("fUACInterface NO PIPE\n");
        return true;
    }
    IOUSBHostFreeDescriptor(configuration);
    IOUSBStandardEndpointDescriptors descriptors{};
    const kern_return_t got = ivars->fUACIntInPipe->GetDescriptors(&descriptors);
    if (got != kIOReturnSuccess) {
        DextLog("IOUSBHostPipe::GetDescriptors failed with %d\n", got);
        return false;
    }
    const uint32_t maxPacketSize = IOUSBGetEndpointMaxPacketSize(&descriptors.descriptor);
    DextLog("Got Control interrupt IN pipe maxPacketSize %d\n", maxPacketSize);
    for (AsyncBulkRequest& req : ivars->fUACInRequests) {
        if (!req.Init(kIOMemoryDirectionIn, maxPacketSize, this, UACInReadCompletionProc)) {
            return false;
        }
        const kern_return_t err =
            ivars->fUACIntInPipe->AsyncIO(req.fBuffer, maxPacketSize, req.fCompletion, 0);
        if (err != kIOReturnSuccess) {
            ReportError(
                err, "err = ivars->fUACIntInPipe->AsyncIO(req.fBuffer, maxPacketSize, req.fCompletion, 0)");
            return false;
        }
    }
    return true;
}

void com_vork_driver_tide_usb_provider::UACInReadCompletionProc(IOReturn status, uint32_t bytesTransferred,
                                                                uint64_t, void* context)
{
    auto* req = static_cast<AsyncBulkRequest*>(context);
    com_vork_driver_tide_usb_provider* provider = req->provider;
    OSSharedPtr<com_vork_driver_tide_usb_provider> held(provider, OSRetain);
    with_gate_closed(provider->ivars->fBusWorkLoop,
                     [&] { provider->statusReadCompleted(status, bytesTransferred, req); });
}

void com_vork_driver_tide_usb_provider::statusReadCompleted(IOReturn status, uint32_t bytesTransferred,
                                                            AsyncBulkRequest* req)
{
    if (status != kIOReturnSuccess || ivars->fDriver == nullptr || ivars->fUACIntInPipe == nullptr) {
        DextLog("%s - Error %08x\n", "UACInReadCompletionProc", status);
        return;
    }
    IOAddressSegment range{};
    const uint8_t* bytes = req->fBuffer->GetAddressRange(&range) == kIOReturnSuccess
                               ? reinterpret_cast<const uint8_t*>(range.address)
                               : nullptr;
    IOUSBStandardEndpointDescriptors descriptors{};
    const kern_return_t got = ivars->fUACIntInPipe->GetDescriptors(&descriptors);
    if (got != kIOReturnSuccess) {
        DextLog("IOUSBHostPipe::GetDescriptors failed with %d\n", got);
        return;
    }
    const uint32_t maxPacketSize = IOUSBGetEndpointMaxPacketSize(&descriptors.descriptor);
    uint8_t packet[KorvanDeviceIO::kMaxNotificationDataBytes];
    uint32_t length = bytesTransferred;
    if (bytes == nullptr || length > range.length || length > sizeof(packet)) {
        length = 0;
    }
    if (length > 0) {
        std::memcpy(packet, bytes, length);
    }
    const kern_return_t err = ivars->fUACIntInPipe->AsyncIO(req->fBuffer, maxPacketSize, req->fCompletion, 0);
    if (err != kIOReturnSuccess) {
        ReportError(err,
                    "err = ivars->fUACIntInPipe->AsyncIO(req->fBuffer, maxPacketSize, req->fCompletion, 0)");
        DextLog("UAC IN IO ERR %08x\n", err);
    }
    ivars->fDriver->NotifyUserClient(kAudioUserClientType, kNotificationInterruptStatus, packet, length);
}

void com_vork_driver_tide_usb_provider::free()
{
    if (ivars != nullptr) {
        for (AsyncBulkRequest& req : ivars->fUACInRequests) {
            req.Release();
        }
        OSSafeReleaseNULL(ivars->fIOStream);
        OSSafeReleaseNULL(ivars->fUACIntInPipe);
        OSSafeReleaseNULL(ivars->fBusWorkLoop);
        for (IORecursiveLock** lock : {&ivars->fUACControlRequestLock, &ivars->fVendorControlRequestLock}) {
            if (IORecursiveLock* held = *lock) {
                IORecursiveLockLock(held);
                *lock = nullptr;
                IORecursiveLockUnlock(held);
                IORecursiveLockFree(held);
            }
        }
        OSSafeReleaseNULL(ivars->fUACControlRequestBuf);
        OSSafeReleaseNULL(ivars->fVendorControlRequestBuf);
        IOFree(ivars, sizeof(Ivars));
        ivars = nullptr;
    }
    com_vork_driver_tide_provider::free();
}

void com_vork_driver_tide_usb_provider::Stop()
{
    StopAudioDMA();
    HardwareStop();
    if (ivars->fUACIntInPipe != nullptr) {
        const kern_return_t ret =
            ivars->fUACIntInPipe->Abort(kIOUSBAbortSynchronous, kIOReturnAborted, ivars->fDriver);
        if (ret != kIOReturnSuccess) {
            ReportError(
                ret, "ivars->fUACIntInPipe->Abort(kIOUSBAbortSynchronous, kIOReturnAborted, ivars->fDriver)");
        }
        // The reads end on the bus queue; the pipe goes once none of them can touch it.
        with_gate_closed(ivars->fBusWorkLoop, [&] { OSSafeReleaseNULL(ivars->fUACIntInPipe); });
    }
    ivars->fUACInterface = nullptr;
}

const char* com_vork_driver_tide_usb_provider::GetGUID() const
{
    return ivars->UID;
}

IODispatchQueue* com_vork_driver_tide_usb_provider::GetBusWorkLoop()
{
    return ivars->fBusWorkLoop;
}

com_vork_driver_tide_control_interface* com_vork_driver_tide_usb_provider::getUAC_service() const
{
    return ivars->fDriver;
}

com_vork_driver_tide_usb_io_stream* com_vork_driver_tide_usb_provider::getStream() const
{
    return ivars->fIOStream;
}

IOMemoryDescriptor* com_vork_driver_tide_usb_provider::GetBufferDesc(int type)
{
    if (ivars->fIOStream == nullptr) {
        return nullptr;
    }
    IOMemoryDescriptor* descriptor = nullptr;
    if (type == int(kInputRingMemoryType)) {
        descriptor = ivars->fIOStream->GetInBuffer();
    } else if (type == int(kOutputRingMemoryType)) {
        descriptor = ivars->fIOStream->GetOutBuffer();
    }
    if (descriptor != nullptr) {
        descriptor->retain();
    }
    return descriptor;
}

IOReturn com_vork_driver_tide_usb_provider::GetDeviceInfo(DeviceInfoRequest* info)
{
    if (info == nullptr) {
        return kIOReturnBadArgument;
    }
    WriteNameField(info->fProductName, ivars->productName);
    WriteNameField(info->fUID, ivars->UID);
    info->fDeviceRelease = ivars->bcdDevice;
    info->fReserved = 0;
    info->fProductID = ivars->idProduct;
    return kIOReturnSuccess;
}

IOReturn com_vork_driver_tide_usb_provider::SendUACControlRequest(const USBUACControlRequest* request,
                                                                  USBControlResponse* response)
{
    DextLog("SendUACControlRequest");
    if (request == nullptr || response == nullptr || request->fLength > kControlDataBytes) {
        return kIOReturnBadArgument;
    }
    if (ivars->fUACInterface == nullptr) {
        ReportBooleanError("ivars->fUACInterface");
        return kIOReturnError;
    }
    if (ivars->fUACControlRequestLock == nullptr) {
        ReportBooleanError("ivars->fUACControlRequestLock");
        return kIOReturnError;
    }
    if (ivars->fUACControlRequestBuf == nullptr) {
        ReportBooleanError("ivars->fUACControlRequestBuf");
        return kIOReturnError;
    }
    RecursiveLocker locked(ivars->fUACControlRequestLock);
    IOAddressSegment range{};
    if (ivars->fUACControlRequestBuf->GetAddressRange(&range) != kIOReturnSuccess || range.address == 0) {
        return kIOReturnError;
    }
    auto* buffer = reinterpret_cast<uint8_t*>(range.address);
    const bool set = IsSetRequest(*request);
    if (set) {
        std::memcpy(buffer, request->fData, request->fLength);
    }
    uint16_t bytesTransferred = 0;
    const IOReturn err = ivars->fUACInterface->DeviceRequest(
        UACRequestType(*request), kUACRequestCur, uint16_t(request->fControlSelector << 8),
        uint16_t(request->fEntityID << 8), request->fLength, ivars->fUACControlRequestBuf, &bytesTransferred,
        kUACControlTimeoutMs);
    if (err == kIOReturnSuccess) {
        const size_t count = bytesTransferred < kControlDataBytes ? bytesTransferred : kControlDataBytes;
        // A SET reports what went out in its own record; a GET in the response.
        uint8_t* destination = set ? const_cast<USBUACControlRequest*>(request)->fData : response->fData;
        std::memcpy(destination, buffer, count);
        response->fLength = static_cast<uint8_t>(count);
    } else {
        ReportError(
            err,
            "err = ivars->fUACInterface->DeviceRequest(bmRequestType, bRequest, wValue, wIndex, wLength, "
            "ivars->fUACControlRequestBuf, &bytesTransferred, 500)");
        response->fLength = 0;
    }
    return err;
}

IOReturn com_vork_driver_tide_usb_provider::SendVendorControlRequest(USBVendorControlRequest* request,
                                                                     USBControlResponse* response)
{
    if (request == nullptr || response == nullptr) {
        return kIOReturnBadArgument;
    }
    if (ivars->fUACInterface == nullptr) {
        ReportBooleanError("ivars->fUACInterface");
        return kIOReturnError;
    }
    if (ivars->fVendorControlRequestLock == nullptr) {
        ReportBooleanError("ivars->fVendorControlRequestLock");
        return kIOReturnError;
    }
    if (ivars->fVendorControlRequestBuf == nullptr) {
        ReportBooleanError("ivars->fVendorControlRequestBuf");
        return kIOReturnError;
    }
    if (request->fType >= kVendorRequestTypeCount || request->fLength > kControlDataBytes) {
        return kIOReturnBadArgument;
    }
    RecursiveLocker locked(ivars->fVendorControlRequestLock);
    IOAddressSegment range{};
    if (ivars->fVendorControlRequestBuf->GetAddressRange(&range) != kIOReturnSuccess || range.address == 0) {
        return kIOReturnError;
    }
    auto* buffer = reinterpret_cast<uint8_t*>(range.address);
    const bool in = isDeviceToHost(request->fType);
    if (!in) {
        std::memcpy(buffer, request->fData, request->fLength);
    }
    uint16_t bytesTransferred = 0;
    const IOReturn err = ivars->fUACInterface->DeviceRequest(
        kVendorRequestTypes[request->fType], uint8_t(request->fRequest), uint16_t(request->fValue),
        uint16_t(request->fIndex), uint16_t(request->fLength), ivars->fVendorControlRequestBuf,
        &bytesTransferred, kUACControlTimeoutMs);
    if (err == kIOReturnSuccess) {
        const size_t count = bytesTransferred < kControlDataBytes ? bytesTransferred : kControlDataBytes;
        std::memcpy(in ? response->fData : request->fData, buffer, count);
        response->fLength = static_cast<uint8_t>(count);
    } else {
        ReportError(err,
                    "err = ivars->fUACInterface->DeviceRequest(bmRequestType, request->fRequest, "
                    "request->fValue, request->fIndex, request->fLength, ivars->fVendorControlRequestBuf, "
                    "&bytesTransferred, 500)");
        response->fLength = 0;
    }
    return err;
}

uint8_t com_vork_driver_tide_usb_provider::queryStreamingHeadersSupport()
{
    USBVendorControlRequest request{};
    request.fType = ivars->idProduct >= KorvanDeviceIdentities::kPyxProductID ? kVendorInFromInterface
                                                                              : kVendorInFromDevice;
    request.fRequest = kStreamingHeadersRequest;
    request.fLength = 1;
    USBControlResponse response{};
    const IOReturn ret = SendVendorControlRequest(&request, &response);
    if (ret != kIOReturnSuccess) {
        DextLog("queryStreamingHeadersSupport - SendVendorControlRequest returned %08x, assuming streaming "
                "headers "
                "not supported",
                ret);
        return 0;
    }
    // Only an answer of exactly one byte names a version.
    const uint8_t version = response.fLength == 1 ? response.fData[0] : 0;
    if (version == 0) {
        DextLog("queryStreamingHeadersSupport - device does not support streaming headers");
    } else {
        DextLog("queryStreamingHeadersSupport - device supports streaming headers v%d", version);
    }
    return version;
}

uint8_t com_vork_driver_tide_usb_provider::getSupportedStreamingHeadersVersionNumber()
{
    return ivars->supportedHeadersVersion;
}

IOReturn com_vork_driver_tide_usb_provider::setStreamingHeadersEnable(uint8_t version, bool enable)
{
    if (version == 0) {
        return kIOReturnBadArgument;
    }
    if (version > ivars->supportedHeadersVersion) {
        return kIOReturnUnsupported;
    }
    if (ivars->fAudioDMAStarted) {
        ReportBooleanError("not ivars->fAudioDMAStarted");
        return kIOReturnNotReady;
    }
    USBVendorControlRequest request{};
    request.fType = ivars->idProduct >= KorvanDeviceIdentities::kPyxProductID ? kVendorOutToInterface
                                                                              : kVendorOutToDevice;
    request.fRequest = kStreamingHeadersRequest;
    request.fValue = 1;
    USBControlResponse response{};
    const IOReturn ret = SendVendorControlRequest(&request, &response);
    if (ret != kIOReturnSuccess) {
        return ret;
    }
    if (ivars->fIOStream != nullptr) {
        ivars->fIOStream->setStreamingHeadersEnabled(enable, version);
    }
    return kIOReturnSuccess;
}

IOReturn com_vork_driver_tide_usb_provider::GetUSBConfig1Descriptors(USBDescriptors* descriptors)
{
    if (descriptors == nullptr) {
        return kIOReturnBadArgument;
    }
    if (ivars->fUACInterface == nullptr) {
        return kIOReturnNoDevice;
    }
    const IOUSBConfigurationDescriptor* configuration = ivars->fUACInterface->CopyConfigurationDescriptor();
    const IOReturn ret = CopyConfigurationDescriptors(configuration, descriptors);
    if (configuration != nullptr) {
        IOUSBHostFreeDescriptor(configuration);
    }
    return ret;
}

IOReturn com_vork_driver_tide_usb_provider::GetChannelNames(const ChannelNamesRequest* request,
                                                            ChannelNamesResponse* response)
{
    if (request == nullptr) {
        ReportBooleanError("request");
        return kIOReturnBadArgument;
    }
    if (response == nullptr) {
        ReportBooleanError("response");
        return kIOReturnBadArgument;
    }
    IOReturn ret = kIOReturnError;
    with_gate_closed(ivars->fBusWorkLoop, [&] { ret = getChannelNamesOnBusQueue(request, response); });
    return ret;
}

IOReturn com_vork_driver_tide_usb_provider::getChannelNamesOnBusQueue(const ChannelNamesRequest* request,
                                                                      ChannelNamesResponse* response)
{
    if (ivars->fUACInterface == nullptr || ivars->fDriver == nullptr) {
        return kIOReturnError;
    }
    IOUSBHostDevice* device = nullptr;
    const kern_return_t test = ivars->fUACInterface->CopyDevice(&device);
    if (test != kIOReturnSuccess) {
        ReportError(test, "test");
        return test;
    }
    OSSharedPtr<IOUSBHostDevice> usbDevice(device, OSNoRetain);
    const IOUSBConfigurationDescriptor* configuration = usbDevice->CopyConfigurationDescriptor();
    DeviceStringReader reader(usbDevice.get());
    OSSharedPtr<OSArray> inputChannelNames(
        CopyChannelNames(configuration, reader, request->fInInterfaceNum, request->fInAlt, true), OSNoRetain);
    OSSharedPtr<OSArray> outputChannelNames;
    if (inputChannelNames) {
        outputChannelNames.reset(
            CopyChannelNames(configuration, reader, request->fOutInterfaceNum, request->fOutAlt, false),
            OSNoRetain);
    }
    if (configuration != nullptr) {
        IOUSBHostFreeDescriptor(configuration);
    }
    if (!inputChannelNames) {
        ReportBooleanError("::GetChannelNames(usbDevice.get(), ivars->fDriver, request->fInInterfaceNum, "
                           "request->fInAlt, true, inputChannelNames.get())");
        return kIOReturnError;
    }
    if (!outputChannelNames) {
        ReportBooleanError("::GetChannelNames(usbDevice.get(), ivars->fDriver, request->fOutInterfaceNum, "
                           "request->fOutAlt, false, outputChannelNames.get())");
        return kIOReturnError;
    }
    if (inputChannelNames->getCount() > kMaxDMAChannels) {
        ReportBooleanError("inputChannelNames->getCount() <= KorvanDeviceIO::kMaxDMAChannels");
        return kIOReturnError;
    }
    if (outputChannelNames->getCount() > kMaxDMAChannels) {
        ReportBooleanError("outputChannelNames->getCount() <= KorvanDeviceIO::kMaxDMAChannels");
        return kIOReturnError;
    }
    struct Table
    {
        OSArray* names;
        char (*entries)[kNameFieldBytes];
    };
    for (const Table& table : {Table{inputChannelNames.get(), response->fInNames},
                               Table{outputChannelNames.get(), response->fOutNames}}) {
        for (uint32_t i = 0; i < table.names->getCount(); ++i) {
            const auto* chname = OSDynamicCast(OSString, table.names->getObject(i));
            if (chname == nullptr) {
                ReportBooleanError("chname");
                return kIOReturnError;
            }
            WriteChannelName(table.entries[i], chname->getCStringNoCopy());
        }
    }
    return kIOReturnSuccess;
}

bool com_vork_driver_tide_usb_provider::claimStreamingInterface(
    IOUSBHostInterface* iface, const IOUSBConfigurationDescriptor* configuration, uint8_t alternate,
    uint8_t direction, IOUSBHostInterface** slot, IOUSBHostPipe** pipe, bool* selectFailed)
{
    if (iface->Open(ivars->fDriver, 0, 0) != kIOReturnSuccess) {
        return false;
    }
    DextLog("opened interface\n");
    const kern_return_t selected = iface->SelectAlternateSetting(alternate);
    if (selected != kIOReturnSuccess) {
        ReportError(selected, direction == kIOUSBEndpointDirectionIn
                                  ? "iface.get()->SelectAlternateSetting(inAlt)"
                                  : "iface.get()->SelectAlternateSetting(outAlt)");
        iface->Close(ivars->fDriver, 0);
        *selectFailed = true;
        return false;
    }
    const IOUSBEndpointDescriptor* endpoint =
        FindEndpoint(configuration, iface->GetInterfaceDescriptor(configuration),
                     kIOUSBEndpointTypeIsochronous, direction);
    if (endpoint == nullptr || iface->CopyPipe(endpoint->bEndpointAddress, pipe) != kIOReturnSuccess) {
        iface->SelectAlternateSetting(0);
        iface->Close(ivars->fDriver, 0);
        return false;
    }
    DextLog(direction == kIOUSBEndpointDirectionIn ? "got in isoc pipe\n" : "got out isoc pipe\n");
    iface->retain();
    *slot = iface;
    return true;
}

void com_vork_driver_tide_usb_provider::releaseStreamingInterfaces()
{
    for (IOUSBHostInterface** slot : {&ivars->fIsocInInterface, &ivars->fIsocOutInterface}) {
        IOUSBHostInterface* iface = *slot;
        if (iface == nullptr) {
            continue;
        }
        kern_return_t ret = iface->SelectAlternateSetting(0);
        if (ret != kIOReturnSuccess) {
            ReportError(ret, "iface->SelectAlternateSetting(0)");
        }
        ret = iface->Close(ivars->fDriver, 0);
        if (ret != kIOReturnSuccess) {
            ReportError(ret, "iface->Close(ivars->fDriver, 0)");
        }
        OSSafeReleaseNULL(*slot);
    }
}

IOReturn com_vork_driver_tide_usb_provider::StartAudioDMA(uint32_t inInterfaceNum, uint32_t inAlt,
                                                          uint32_t inBytesPerFrame, uint32_t outInterfaceNum,
                                                          uint32_t outAlt, uint32_t outBytesPerFrame)
{
    DextLog("Preparing Audio DMA %d %d %d %d %d %d\n", inInterfaceNum, inAlt, inBytesPerFrame,
            outInterfaceNum, outAlt, outBytesPerFrame);
    // The stream divides by both.
    if (inBytesPerFrame == 0 || outBytesPerFrame == 0) {
        ReportBooleanError("inBytesPerFrame != 0 and outBytesPerFrame != 0");
        return kIOReturnBadArgument;
    }
    struct Check
    {
        bool holds;
        const char* text;
    };
    for (const Check& check :
         {Check{ivars->fIOStream != nullptr, "ivars->fIOStream != __null"},
          Check{ivars->fIsocInInterface == nullptr, "ivars->fIsocInInterface == __null"},
          Check{ivars->fIsocOutInterface == nullptr, "ivars->fIsocOutInterface == __null"},
          Check{!ivars->fAudioDMAStarted, "ivars->fAudioDMAStarted == false"},
          Check{ivars->fUACInterface != nullptr && ivars->fDriver != nullptr,
                "ivars->fUACInterface and ivars->fDriver"}}) {
        if (!check.holds) {
            ReportBooleanError(check.text);
            return kIOReturnError;
        }
    }
    IOUSBHostDevice* device = nullptr;
    if (ivars->fUACInterface->CopyDevice(&device) != kIOReturnSuccess) {
        return kIOReturnError;
    }
    OSSharedPtr<IOUSBHostDevice> usbDevice(device, OSNoRetain);
    uintptr_t iterator = 0;
    if (usbDevice->CreateInterfaceIterator(&iterator) != kIOReturnSuccess) {
        return kIOReturnError;
    }
    const IOUSBConfigurationDescriptor* configuration = usbDevice->CopyConfigurationDescriptor();
    OSSharedPtr<IOUSBHostPipe> inPipe;
    OSSharedPtr<IOUSBHostPipe> outPipe;
    bool selectFailed = false;
    for (;;) {
        IOUSBHostInterface* raw = nullptr;
        if (usbDevice->CopyInterface(iterator, &raw) != kIOReturnSuccess || raw == nullptr) {
            break;
        }
        OSSharedPtr<IOUSBHostInterface> iface(raw, OSNoRetain);
        const IOUSBInterfaceDescriptor* ifd = iface->GetInterfaceDescriptor(configuration);
        if (!IsAudioStreamingInterface(ifd)) {
            continue;
        }
        const uint8_t number = ifd->bInterfaceNumber;
        if (!inPipe && number == inInterfaceNum) {
            IOUSBHostPipe* pipe = nullptr;
            if (claimStreamingInterface(iface.get(), configuration, uint8_t(inAlt), kIOUSBEndpointDirectionIn,
                                        &ivars->fIsocInInterface, &pipe, &selectFailed)) {
                inPipe.reset(pipe, OSNoRetain);
            }
        }
        if (!selectFailed && !outPipe && number == outInterfaceNum) {
            IOUSBHostPipe* pipe = nullptr;
            if (claimStreamingInterface(iface.get(), configuration, uint8_t(outAlt),
                                        kIOUSBEndpointDirectionOut, &ivars->fIsocOutInterface, &pipe,
                                        &selectFailed)) {
                outPipe.reset(pipe, OSNoRetain);
            }
        }
        if (selectFailed) {
            break;
        }
    }
    usbDevice->DestroyInterfaceIterator(iterator);
    if (configuration != nullptr) {
        IOUSBHostFreeDescriptor(configuration);
    }
    bool started = inPipe && outPipe;
    if (started) {
        DextLog("opened UAC isoc interfaces and pipes\n");
        started = ivars->fIOStream->Start(ivars->fIsocInInterface, inPipe.get(), inBytesPerFrame,
                                          outPipe.get(), outBytesPerFrame);
        if (!started) {
            DextLog("fIOStream->Start failed!");
            ivars->fIOStream->Abort();
        }
    }
    if (!started) {
        // A failed start gives back what it claimed, so the next one can succeed. The record
        // interface back at rest has ended the device's streaming headers: as after a stop, the
        // stream reads none until the client enables them again.
        releaseStreamingInterfaces();
        ivars->fIOStream->setStreamingHeadersEnabled(false, 0);
        return kIOReturnError;
    }
    const kern_return_t stall = ivars->fDriver->RequireMaxBusStall(kStreamingBusStall);
    if (stall != kIOReturnSuccess) {
        ReportError(stall, "fDriver->RequireMaxBusStall(5000)");
    }
    ivars->fAudioDMAStarted = true;
    DextLog("succesfully set alternate and opened isoc pipes, isoc is running\n");
    return kIOReturnSuccess;
}

IOReturn com_vork_driver_tide_usb_provider::StopAudioDMA()
{
    if (!ivars->fAudioDMAStarted || ivars->fIOStream == nullptr) {
        return kIOReturnSuccess;
    }
    DextLog("Stopping Audio DMA\n");
    const kern_return_t stall = ivars->fDriver->RequireMaxBusStall(0);
    if (stall != kIOReturnSuccess) {
        ReportError(stall, "fDriver->RequireMaxBusStall(0)");
    }
    ivars->fAudioDMAStarted = false;
    ivars->fIOStream->Abort();
    releaseStreamingInterfaces();
    ivars->fIOStream->setStreamingHeadersEnabled(false, 0);
    return kIOReturnSuccess;
}

bool com_vork_driver_tide_usb_provider::HardwareInit()
{
    DextLog("HardwareInit");
    return true;
}

void com_vork_driver_tide_usb_provider::HardwareStop()
{
    StopAudioDMA();
    DextAssert(!ivars->fAudioDMAStarted, "not ivars->fAudioDMAStarted");
}
