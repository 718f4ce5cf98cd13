#include "USBServiceClient.h"

#include "Log.h"

#include <mach/mach.h>

#include <algorithm>
#include <cstring>

using namespace KorvanDeviceIO;

namespace {

constexpr size_t kRecordDataOffset = offsetof(NotificationRecord, fData);

template <typename T>
T ReadField(const UInt8* message, size_t offset)
{
    T value;
    std::memcpy(&value, message + offset, sizeof(value));
    return value;
}

} // namespace

USBServiceClient::USBServiceClient(const KorvanService& service, UInt32 clientType, void* user,
                                   NotificationCallback callback)
    : fService(service), fClientType(clientType), fUser(user), fCallback(callback)
{
    TIDE_LOG(Log::Info, "Created USB service client");
}

USBServiceClient::~USBServiceClient()
{
    Close();
    TIDE_LOG(Log::Info, "~USBServiceClient");
}

bool USBServiceClient::Open()
{
    TIDE_LOG(Log::Info, "Opening USB service client");
    CFMachPortContext context = {0, this, nullptr, nullptr, nullptr};
    fMachPort = CFMachPortCreate(kCFAllocatorDefault, UserClientCallBackProc, &context, nullptr);
    if (fMachPort != nullptr) {
        fRunLoopSource = CFMachPortCreateRunLoopSource(kCFAllocatorDefault, fMachPort, 0);
    }
    if (fRunLoopSource != nullptr) {
        fRunLoop = CFRunLoopGetCurrent();
        CFRetain(fRunLoop);
        CFRunLoopAddSource(fRunLoop, fRunLoopSource, kCFRunLoopCommonModes);
        const kern_return_t result =
            IOServiceOpen(fService.GetService(), mach_task_self(), fClientType, &fConnection);
        TIDE_LOG(Log::Info, "    err %08x", result);
        if (result != KERN_SUCCESS) {
            fConnection = 0;
        }
    }
    if (fConnection == 0 || !RegisterForNotifications()) {
        TIDE_LOG(Log::Error, "Failed to open service\n");
        Close();
        return false;
    }
    TIDE_LOG(Log::Info, "Successfuly opened service");
    return true;
}

bool USBServiceClient::RegisterForNotifications()
{
    if (fNotificationPortRegistered) {
        return true;
    }
    if (fConnection == 0 || fMachPort == nullptr) {
        return false;
    }
    fNotificationPortRegistered =
        IOConnectSetNotificationPort(fConnection, kNotificationInterruptStatus, CFMachPortGetPort(fMachPort),
                                     0) == KERN_SUCCESS;
    return fNotificationPortRegistered;
}

void USBServiceClient::Close()
{
    TIDE_LOG(Log::Info, "CLOSING USB service client");
    if (fConnection != 0) {
        IOServiceClose(fConnection);
        fConnection = 0;
    }
    if (fMachPort != nullptr) {
        CFMachPortInvalidate(fMachPort);
    }
    if (fRunLoopSource != nullptr) {
        if (fRunLoop != nullptr) {
            CFRunLoopRemoveSource(fRunLoop, fRunLoopSource, kCFRunLoopCommonModes);
        }
        CFRelease(fRunLoopSource);
        fRunLoopSource = nullptr;
    }
    if (fRunLoop != nullptr) {
        CFRelease(fRunLoop);
        fRunLoop = nullptr;
    }
    if (fMachPort != nullptr) {
        CFRelease(fMachPort);
        fMachPort = nullptr;
    }
    fNotificationPortRegistered = false;
    fService.Release();
    TIDE_LOG(Log::Info, "CLOSED USB service client");
}

kern_return_t USBServiceClient::CallStructMethod(UInt32 selector, const void* input, size_t inputSize,
                                                 void* output, size_t outputSize)
{
    return IOConnectCallStructMethod(fConnection, selector, input, inputSize, output, &outputSize);
}

bool USBServiceClient::GetDeviceInfo(DeviceInfoRequest* request)
{
    if (fConnection == 0) {
        return false;
    }
    return CallStructMethod(kGetDeviceInfo, request, sizeof(*request), request, sizeof(*request)) ==
           KERN_SUCCESS;
}

bool USBServiceClient::SetProperty(UInt32 property, UInt32 value)
{
    if (fConnection == 0) {
        TIDE_LOG(Log::Info, "SetProperty no connection");
        return false;
    }
    const SetPropertyRequest request = {property, value};
    ErrorResult result = {};
    const kern_return_t error =
        CallStructMethod(kSetProperty, &request, sizeof(request), &result, sizeof(result));
    if (error != KERN_SUCCESS || result.fStatus != 0) {
        TIDE_LOG(Log::Info, "SetProperty err %08x err %08x", error, result.fStatus);
        return false;
    }
    return true;
}

bool USBServiceClient::GetProperty(UInt32 property, UInt32& value)
{
    if (fConnection == 0) {
        return false;
    }
    const GetPropertyRequest request = {property};
    GetPropertyResult result = {};
    if (CallStructMethod(kGetProperty, &request, sizeof(request), &result, sizeof(result)) != KERN_SUCCESS ||
        result.fStatus != 0) {
        return false;
    }
    value = result.fValue;
    return true;
}

bool USBServiceClient::SendUACControlRequest(USBUACControlRequest* request, USBControlResponse* response)
{
    if (fConnection == 0) {
        return false;
    }
    const kern_return_t error =
        CallStructMethod(kSendUACControlRequest, request, sizeof(*request), response, sizeof(*response));
    if (error != KERN_SUCCESS) {
        TIDE_LOG(Log::Info, "SendUACControlRequest Error %08x\n", error);
        return false;
    }
    return true;
}

bool USBServiceClient::SendVendorControlRequest(USBVendorControlRequest* request,
                                                USBControlResponse* response)
{
    if (fConnection == 0) {
        return false;
    }
    return CallStructMethod(kSendVendorControlRequest, request, sizeof(*request), response,
                            sizeof(*response)) == KERN_SUCCESS;
}

bool USBServiceClient::SetUSBAudioRunState(USBAudioRunStateRequest* request)
{
    if (fConnection == 0) {
        return false;
    }
    ErrorResult result = {};
    const kern_return_t error =
        CallStructMethod(kSetUSBAudioRunState, request, sizeof(*request), &result, sizeof(result));
    if (error != KERN_SUCCESS || result.fStatus != 0) {
        TIDE_LOG(Log::Info, "SetUSBAudioRunState Error %08x\n",
                 error != KERN_SUCCESS ? error : result.fStatus);
        return false;
    }
    return true;
}

bool USBServiceClient::GetUSBConfig1Descriptors(USBDescriptors* descriptors)
{
    if (fConnection == 0) {
        return false;
    }
    return CallStructMethod(kGetUSBConfig1Descriptors, descriptors, sizeof(*descriptors), descriptors,
                            sizeof(*descriptors)) == KERN_SUCCESS;
}

bool USBServiceClient::GetChannelNames(ChannelNamesRequest* request, ChannelNamesResponse* response)
{
    if (fConnection == 0) {
        return false;
    }
    return CallStructMethod(kGetChannelNames, request, sizeof(*request), response, sizeof(*response)) ==
           KERN_SUCCESS;
}

bool USBServiceClient::GetStreamingHeadersVersion(UInt8& version)
{
    if (fConnection == 0) {
        return false;
    }
    StreamingHeadersResponse response = {};
    if (CallStructMethod(kGetStreamingHeadersSupportedVersion, nullptr, 0, &response, sizeof(response)) !=
        KERN_SUCCESS) {
        return false;
    }
    version = response.fVersion;
    return true;
}

bool USBServiceClient::SetStreamingHeadersEnable(EnableStreamingHeadersRequest* request)
{
    if (fConnection == 0) {
        return false;
    }
    return CallStructMethod(kSetStreamingHeadersEnable, request, sizeof(*request), nullptr, 0) ==
           KERN_SUCCESS;
}

void* USBServiceClient::GetAudioBuffer(UInt32 memoryType, UInt32& size)
{
    if (fConnection == 0) {
        return nullptr;
    }
    mach_vm_address_t address = 0;
    mach_vm_size_t length = 0;
    if (IOConnectMapMemory64(fConnection, memoryType, mach_task_self(), &address, &length, kIOMapAnywhere) !=
            KERN_SUCCESS ||
        address == 0 || length == 0) {
        return nullptr;
    }
    size = UInt32(length);
    return reinterpret_cast<void*>(address);
}

void USBServiceClient::ReleaseAudioBuffer(void* address, UInt32 memoryType)
{
    if (fConnection == 0 || address == nullptr) {
        return;
    }
    IOConnectUnmapMemory64(fConnection, memoryType, mach_task_self(),
                           reinterpret_cast<mach_vm_address_t>(address));
}

void USBServiceClient::UserClientCallBackProc(CFMachPortRef, void* message, CFIndex size, void* info)
{
    // A record too short for its type and length fields carries nothing to hand on.
    if (info == nullptr || message == nullptr || size < CFIndex(kRecordDataOffset)) {
        return;
    }
    static_cast<USBServiceClient*>(info)->Deliver(static_cast<const UInt8*>(message),
                                                  size_t(size) - kRecordDataOffset);
}

void USBServiceClient::HandleUserClientCallBack(const void* message)
{
    if (message != nullptr) {
        Deliver(static_cast<const UInt8*>(message), kMaxNotificationDataBytes);
    }
}

void USBServiceClient::Deliver(const UInt8* message, size_t availableData)
{
    if (fCallback == nullptr) {
        return;
    }
    const UInt32 type = ReadField<UInt32>(message, offsetof(NotificationRecord, fType));
    const size_t length = std::min<size_t>({ReadField<UInt32>(message, offsetof(NotificationRecord, fLength)),
                                            kMaxNotificationDataBytes, availableData});
    fCallback(fUser, type, message + kRecordDataOffset, UInt32(length));
}
