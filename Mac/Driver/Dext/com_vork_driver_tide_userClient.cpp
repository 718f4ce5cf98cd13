#include "com_vork_driver_tide_userClient.h"

#include "DextReport.h"
#include "com_vork_driver_tide_control_interface.h"
#include "with_gate_closed.h"

#include <DriverKit/OSMetaClass.h>
#include <cstring>
#include <memory>

OSDefineMetaClassAndStructors(com_vork_driver_tide_userClient, IOUserClient);

using namespace KorvanDeviceIO;

struct com_vork_driver_tide_userClient::Ivars
{
    uint32_t runState;
    com_vork_driver_tide_control_interface* fDevice;
    IODispatchQueue* deviceQueue;
    uint32_t clientType;
    bool fClientTypeIsSet;
    com_vork_driver_tide_notificationQueue* fNotificationQueue;
    OSAction* fNotifAction;
    com_vork_driver_tide_userBuffer* registeredOutput;
    IORecursiveLock* fNotificationLock;
};

namespace {

constexpr uint64_t kLastSelector = 10;
constexpr uint64_t kNotificationSelector = 3;

class Locked
{
public:
    explicit Locked(IORecursiveLock* lock) : fLock(lock) { IORecursiveLockLock(fLock); }
    ~Locked() { IORecursiveLockUnlock(fLock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    IORecursiveLock* fLock;
};

// An argument as one view, with the size the caller gave for it.
struct View
{
    OSSharedPtr<com_vork_driver_tide_userBuffer> buffer;
    uint64_t size = 0;

    uint8_t* bytes() const { return buffer ? buffer->getBytes() : nullptr; }
};

IOReturn outputView(IOUserClientMethodArguments* arguments, View* view)
{
    if (arguments->structureOutputDescriptor != nullptr) {
        const IOReturn ret = arguments->structureOutputDescriptor->GetLength(&view->size);
        if (ret != kIOReturnSuccess) {
            ReportError(ret, "arguments->structureOutputDescriptor->GetLength(&length)");
            return ret;
        }
        view->buffer.reset(
            com_vork_driver_tide_userBuffer::NewUserBuffer(arguments->structureOutputDescriptor), OSNoRetain);
    } else if (arguments->structureOutput != nullptr) {
        view->size = arguments->structureOutputMaximumSize;
        view->buffer.reset(com_vork_driver_tide_userBuffer::NewUserBuffer(arguments->structureOutput),
                           OSNoRetain);
    } else if (arguments->scalarOutput != nullptr && arguments->scalarOutputCount >= 1) {
        view->size = uint64_t(arguments->scalarOutputCount) * sizeof(uint64_t);
        view->buffer.reset(com_vork_driver_tide_userBuffer::NewUserBuffer(arguments->scalarOutput,
                                                                          arguments->scalarOutputCount),
                           OSNoRetain);
    }
    return kIOReturnSuccess;
}

IOReturn inputView(IOUserClientMethodArguments* arguments, View* view)
{
    if (arguments->structureInputDescriptor != nullptr) {
        if (arguments->structureInputDescriptor->GetLength(&view->size) != kIOReturnSuccess) {
            return kIOReturnBadArgument;
        }
        view->buffer.reset(
            com_vork_driver_tide_userBuffer::NewUserBuffer(arguments->structureInputDescriptor), OSNoRetain);
    } else if (arguments->structureInput != nullptr) {
        view->size = arguments->structureInput->getLength();
        view->buffer.reset(com_vork_driver_tide_userBuffer::NewUserBuffer(arguments->structureInput),
                           OSNoRetain);
    } else if (arguments->scalarInput != nullptr && arguments->scalarInputCount >= 1) {
        view->size = uint64_t(arguments->scalarInputCount) * sizeof(uint64_t);
        view->buffer.reset(com_vork_driver_tide_userBuffer::NewUserBuffer(
                               const_cast<uint64_t*>(arguments->scalarInput), arguments->scalarInputCount),
                           OSNoRetain);
    }
    return kIOReturnSuccess;
}

bool copyOut(const View& view, const void* bytes, size_t length)
{
    if (!view.buffer->copyOutData(bytes, length)) {
        DextLog("Error copying out data");
        return false;
    }
    return true;
}

// A method that reads a request and writes a result: both views, large enough, the request written
// back as the method left it, then the result.
template <typename Request, typename Result, typename Method>
IOReturn requestMethod(const View& input, const View& output, Method&& method)
{
    if (input.bytes() == nullptr || output.bytes() == nullptr) {
        ReportError(kIOReturnBadArgument, "not (dataOutPtr and dataInPtr)");
        return kIOReturnBadArgument;
    }
    if (input.size < sizeof(Request) || output.size < sizeof(Result)) {
        ReportError(kIOReturnBadArgument,
                    "inputSizeBytes < sizeof(*request) or outputSizeBytes < sizeof(*result)");
        return kIOReturnBadArgument;
    }
    Request request;
    std::memcpy(&request, input.bytes(), sizeof(request));
    Result result{};
    const IOReturn ret = method(&request, &result);
    if (!copyOut(input, &request, sizeof(request)) || !copyOut(output, &result, sizeof(result))) {
        return kIOReturnError;
    }
    return ret;
}

} // namespace

kern_return_t com_vork_driver_tide_userClient::CreateUserClient(com_vork_driver_tide_control_interface* dev,
                                                                uint32_t type,
                                                                com_vork_driver_tide_userClient** userClient)
{
    if (dev == nullptr) {
        ReportError(kIOReturnBadArgument, "(dev == __null)");
        return kIOReturnBadArgument;
    }
    if (userClient == nullptr) {
        ReportError(kIOReturnBadArgument, "(userClient == __null)");
        return kIOReturnBadArgument;
    }
    IOService* service = nullptr;
    const kern_return_t ret = dev->Create(dev, "UserClientProperties", &service);
    if (ret != kIOReturnSuccess) {
        ReportError(ret, "ret = dev->Create(dev, \"UserClientProperties\", &service)");
        return ret;
    }
    auto* client = OSDynamicCast(com_vork_driver_tide_userClient, service);
    if (client == nullptr) {
        DextLog("Created a new user client, but cast failed");
        service->release();
        return kIOReturnError;
    }
    IODispatchQueue* queue = dev->getWorkLoop();
    if (queue == nullptr) {
        DextLog("dispatch queue is NULL");
        client->release();
        return kIOReturnError;
    }
    client->ivars->clientType = type;
    client->ivars->fClientTypeIsSet = true;
    client->ivars->runState = 0;
    client->ivars->fDevice = dev;
    queue->retain();
    client->ivars->deviceQueue = queue;
    *userClient = client;
    DextLog("NewUserClient succeeded");
    return kIOReturnSuccess;
}

bool com_vork_driver_tide_userClient::init()
{
    if (!IOUserClient::init()) {
        return false;
    }
    ivars = static_cast<Ivars*>(IOMallocZero(sizeof(Ivars)));
    if (ivars == nullptr) {
        return false;
    }
    ivars->fNotificationQueue = com_vork_driver_tide_notificationQueue::NewNotificationQueue();
    if (ivars->fNotificationQueue == nullptr) {
        ReportBooleanError("ivars->fNotificationQueue");
        return false;
    }
    ivars->fNotificationLock = IORecursiveLockAlloc();
    if (ivars->fNotificationLock == nullptr) {
        ReportBooleanError("ivars->fNotificationLock");
        return false;
    }
    return true;
}

void com_vork_driver_tide_userClient::free()
{
    DextLog("KorvanUserClient::free\n");
    if (ivars != nullptr) {
        OSSafeReleaseNULL(ivars->deviceQueue);
        OSSafeReleaseNULL(ivars->fNotificationQueue);
        OSSafeReleaseNULL(ivars->registeredOutput);
        OSSafeReleaseNULL(ivars->fNotifAction);
        if (IORecursiveLock* lock = ivars->fNotificationLock) {
            IORecursiveLockLock(lock);
            ivars->fNotificationLock = nullptr;
            IORecursiveLockUnlock(lock);
            IORecursiveLockFree(lock);
        }
        IOFree(ivars, sizeof(Ivars));
        ivars = nullptr;
    }
    IOUserClient::free();
}

kern_return_t com_vork_driver_tide_userClient::Start(IOService* provider)
{
    const kern_return_t ret = IOUserClient::Start(provider);
    if (ret != kIOReturnSuccess) {
        ReportError(ret, "ret = Start(provider, ((OSDispatchMethod) &super::_Dispatch))");
    }
    return ret;
}

kern_return_t com_vork_driver_tide_userClient::Stop(IOService* provider)
{
    DextLog("user client Stop");
    OSSharedPtr<com_vork_driver_tide_userClient> self(this, OSRetain);
    with_gate_closed(ivars->deviceQueue, [&] {
        com_vork_driver_tide_control_interface* device = ivars->fDevice;
        if (device == nullptr) {
            return;
        }
        com_vork_driver_tide_provider* hardware = device->GetProvider();
        if (ivars->runState != 0 && hardware != nullptr) {
            hardware->StopAudioDMA();
            ivars->runState = 0;
        }
        device->UserClientClosed(this);
        ivars->fDevice = nullptr;
    });
    // A registration still held would let a record land in a buffer the client has given up.
    {
        Locked locked(ivars->fNotificationLock);
        if (ivars->fNotifAction != nullptr) {
            AsyncCompletion(ivars->fNotifAction, kIOReturnAborted, nullptr, 0);
        }
        OSSafeReleaseNULL(ivars->registeredOutput);
        OSSafeReleaseNULL(ivars->fNotifAction);
    }
    const kern_return_t providerRet = IOUserClient::Stop(provider);
    if (providerRet != kIOReturnSuccess) {
        ReportError(providerRet, "providerRet");
        return providerRet;
    }
    return kIOReturnSuccess;
}

void com_vork_driver_tide_userClient::notifyDeviceRemoved()
{
    DextLog("notifyDeviceRemoved");
    with_gate_closed(ivars->deviceQueue, [&] { ivars->fDevice = nullptr; });
}

uint32_t com_vork_driver_tide_userClient::runState() const
{
    return ivars != nullptr ? ivars->runState : 0;
}

template <typename Method>
IOReturn com_vork_driver_tide_userClient::onDeviceQueue(Method&& method)
{
    OSSharedPtr<com_vork_driver_tide_userClient> self(this, OSRetain);
    IOReturn ret = kIOReturnError;
    with_gate_closed(ivars->deviceQueue, [&] {
        com_vork_driver_tide_control_interface* device = ivars->fDevice;
        com_vork_driver_tide_provider* hardware = device != nullptr ? device->GetProvider() : nullptr;
        if (hardware != nullptr) {
            ret = method(hardware);
        }
    });
    return ret;
}

kern_return_t com_vork_driver_tide_userClient::ExternalMethod(uint64_t selector,
                                                              IOUserClientMethodArguments* arguments,
                                                              const IOUserClientMethodDispatch*, OSObject*,
                                                              void*)
{
    if (!ivars->fClientTypeIsSet) {
        ReportBooleanError("ivars->fClientTypeIsSet");
        return kIOReturnError;
    }
    if (ivars->fDevice == nullptr) {
        ReportBooleanError("ivars->fDevice");
        return kIOReturnOffline;
    }
    View output;
    IOReturn ret = outputView(arguments, &output);
    if (ret != kIOReturnSuccess) {
        return ret;
    }
    View input;
    if (inputView(arguments, &input) != kIOReturnSuccess) {
        ReportError(kIOReturnBadArgument, "arguments->structureInputDescriptor->GetLength(&length)");
        return kIOReturnBadArgument;
    }

    OSAction* completion = arguments->completion;
    switch (selector) {
    case 0: {
        if (output.size != sizeof(DeviceInfoRequest_Obsolete) &&
            output.size != sizeof(Dext::DeviceInfoRequest)) {
            ret = kIOReturnBadArgument;
            ReportError(ret, "outputSizeBytes != sizeof(DeviceInfoRequest_Obsolete) and outputSizeBytes != "
                             "sizeof(DeviceInfoRequest)");
            break;
        }
        if (output.bytes() == nullptr) {
            ret = kIOReturnBadArgument;
            ReportError(ret, "not dataOutPtr");
            break;
        }
        Dext::DeviceInfoRequest info{};
        ret = GetDeviceInfo(nullptr, &info);
        const bool whole = input.size == sizeof(Dext::DeviceInfoRequest) && output.size == sizeof(info);
        if (!copyOut(output, &info, whole ? sizeof(info) : sizeof(DeviceInfoRequest_Obsolete))) {
            ret = kIOReturnError;
        }
        break;
    }
    case 1:
        ret = requestMethod<SetPropertyRequest, Dext::ErrorResult>(
            input, output, [&](auto* request, auto* result) { return SetProperty(request, result); });
        break;
    case 2:
        ret = requestMethod<GetPropertyRequest, Dext::GetPropertyResult>(
            input, output, [&](auto* request, auto* result) { return GetProperty(request, result); });
        break;
    case kNotificationSelector:
        ret = registerNotification(completion, output.buffer.get(), output.size);
        if (ret == kIOReturnSuccess) {
            completion = nullptr;
        }
        break;
    case 4:
        ret = requestMethod<USBUACControlRequest, Dext::USBControlResponse>(
            input, output,
            [&](auto* request, auto* result) { return SendUACControlRequest(request, result); });
        break;
    case 5:
        ret = requestMethod<USBVendorControlRequest, Dext::USBControlResponse>(
            input, output,
            [&](auto* request, auto* result) { return SendVendorControlRequest(request, result); });
        break;
    case 6:
        ret = requestMethod<USBAudioRunStateRequest, Dext::ErrorResult>(
            input, output, [&](auto* request, auto* result) { return SetUSBAudioRunState(request, result); });
        break;
    case 7: {
        if (output.bytes() == nullptr) {
            ret = kIOReturnBadArgument;
            ReportError(ret, "not dataOutPtr");
            break;
        }
        if (output.size < sizeof(Dext::USBDescriptors)) {
            ret = kIOReturnBadArgument;
            ReportError(ret, "outputSizeBytes < sizeof(USBDescriptors)");
            break;
        }
        auto descriptors = std::make_unique<Dext::USBDescriptors>();
        ret = GetUSBConfig1Descriptors(nullptr, descriptors.get());
        if (!copyOut(output, descriptors.get(), sizeof(*descriptors))) {
            ret = kIOReturnError;
        }
        break;
    }
    case 8: {
        if (input.bytes() == nullptr || output.bytes() == nullptr) {
            ret = kIOReturnBadArgument;
            ReportError(ret, "not (dataOutPtr and dataInPtr)");
            break;
        }
        if (input.size < sizeof(ChannelNamesRequest) || output.size < sizeof(Dext::ChannelNamesResponse)) {
            ret = kIOReturnBadArgument;
            ReportError(ret, "inputSizeBytes < sizeof(*request) or outputSizeBytes < sizeof(*resp)");
            break;
        }
        ChannelNamesRequest request;
        std::memcpy(&request, input.bytes(), sizeof(request));
        auto resp = std::make_unique<Dext::ChannelNamesResponse>();
        ret = GetChannelNames(&request, resp.get());
        if (!output.buffer->copyOutData(resp.get(), sizeof(*resp))) {
            ReportError(kIOReturnError, "dataOutPtr->copyOutData(resp.get(), sizeof(*resp)) == false");
            ret = kIOReturnError;
        }
        break;
    }
    case 9: {
        if (output.bytes() == nullptr) {
            ret = kIOReturnBadArgument;
            ReportError(ret, "not dataOutPtr");
            break;
        }
        if (output.size != sizeof(Dext::StreamingHeadersResponse)) {
            ret = kIOReturnBadArgument;
            ReportError(ret, "outputSizeBytes != sizeof(StreamingHeadersResponse)");
            break;
        }
        Dext::StreamingHeadersResponse response{};
        com_vork_driver_tide_control_interface* device = ivars->fDevice;
        com_vork_driver_tide_provider* hardware = device != nullptr ? device->GetProvider() : nullptr;
        response.fVersion = hardware != nullptr ? hardware->getSupportedStreamingHeadersVersionNumber() : 0;
        output.buffer->copyOutData(&response, sizeof(response));
        ret = kIOReturnSuccess;
        break;
    }
    case kLastSelector: {
        if (input.bytes() == nullptr) {
            ret = kIOReturnBadArgument;
            ReportError(ret, "not dataInPtr");
            break;
        }
        if (input.size != sizeof(EnableStreamingHeadersRequest)) {
            ret = kIOReturnBadArgument;
            ReportError(ret, "inputSizeBytes != sizeof(EnableStreamingHeadersRequest)");
            break;
        }
        EnableStreamingHeadersRequest request;
        std::memcpy(&request, input.bytes(), sizeof(request));
        com_vork_driver_tide_control_interface* device = ivars->fDevice;
        com_vork_driver_tide_provider* hardware = device != nullptr ? device->GetProvider() : nullptr;
        ret = hardware != nullptr
                  ? hardware->setStreamingHeadersEnable(request.fVersion, request.fEnable != 0)
                  : kIOReturnNotReady;
        break;
    }
    default:
        DextLog("Unknown method");
        ret = kIOReturnError;
        break;
    }

    if (completion != nullptr) {
        if (selector == kNotificationSelector) {
            // A refused registration is told so; only a delivered record completes with success.
            AsyncCompletion(completion, ret, nullptr, 0);
        } else {
            DextLog("TideUserClient::ExternalMethod - async completion was not registered as a notification "
                    "handler.");
            AsyncCompletion(completion, kIOReturnSuccess, nullptr, 0);
        }
    }
    return ret;
}

IOReturn com_vork_driver_tide_userClient::registerNotification(OSAction* completion,
                                                               com_vork_driver_tide_userBuffer* output,
                                                               uint64_t outputSize)
{
    if (output == nullptr || output->getBytes() == nullptr || completion == nullptr) {
        ReportError(kIOReturnBadArgument, "not (dataOutPtr and arguments->completion)");
        return kIOReturnBadArgument;
    }
    if (outputSize < sizeof(NotificationRecord)) {
        ReportError(kIOReturnBadArgument, "outputSizeBytes < sizeof(NotificationRecord)");
        return kIOReturnBadArgument;
    }
    Locked locked(ivars->fNotificationLock);
    if (ivars->fNotifAction != nullptr) {
        DextAssert(ivars->fNotifAction == nullptr, "not ivars->fNotifAction");
        return kIOReturnBusy;
    }
    output->retain();
    registerClientNotifications(completion, output);
    return kIOReturnSuccess;
}

void com_vork_driver_tide_userClient::registerClientNotifications(OSAction* completion,
                                                                  com_vork_driver_tide_userBuffer* output)
{
    Locked locked(ivars->fNotificationLock);
    completion->retain();
    ivars->fNotifAction = completion;
    if (ivars->registeredOutput != nullptr) {
        DextLog("did we leak a notification buffer??");
        OSSafeReleaseNULL(ivars->registeredOutput);
    }
    ivars->registeredOutput = output;
    if (ivars->fNotificationQueue->empty()) {
        return;
    }
    com_vork_driver_tide_notification* notification = ivars->fNotificationQueue->popNotification();
    if (notification == nullptr) {
        DextLog("Notification queue said it wasn't empty, but pop() returned NULL");
        return;
    }
    deliver(notification);
    notification->release();
}

void com_vork_driver_tide_userClient::deliver(com_vork_driver_tide_notification* notification)
{
    const bool written =
        ivars->registeredOutput->copyOutData(notification->getBytes(), notification->getSize());
    AsyncCompletion(ivars->fNotifAction, written ? kIOReturnSuccess : kIOReturnBadArgument, nullptr, 0);
    OSSafeReleaseNULL(ivars->registeredOutput);
    OSSafeReleaseNULL(ivars->fNotifAction);
}

void com_vork_driver_tide_userClient::NotifyUserClient(uint32_t type, const void* data, uint32_t length)
{
    Locked locked(ivars->fNotificationLock);
    com_vork_driver_tide_notification* notification =
        com_vork_driver_tide_notification::NewNotification(type, data, length);
    if (notification == nullptr) {
        DextLog("Could not allocate a new notification");
        return;
    }
    if (ivars->fNotifAction != nullptr) {
        if (ivars->registeredOutput != nullptr) {
            deliver(notification);
        } else {
            DextLog("A notification action is registered, but no user buffer!");
        }
    } else if (ivars->fNotificationQueue == nullptr) {
        ReportBooleanError("ivars->fNotificationQueue");
    } else if (ivars->fNotificationQueue->full()) {
        DextLog("Notification queue is full!");
    } else if (!ivars->fNotificationQueue->pushNotification(notification)) {
        DextLog("Error pushing notification");
    }
    notification->release();
}

kern_return_t com_vork_driver_tide_userClient::CopyClientMemoryForType(uint64_t type, uint64_t* options,
                                                                       IOMemoryDescriptor** memory)
{
    if (ivars->fDevice == nullptr) {
        return kIOReturnNotAttached;
    }
    if (options == nullptr || memory == nullptr) {
        return kIOReturnBadArgument;
    }
    OSSharedPtr<com_vork_driver_tide_userClient> self(this, OSRetain);
    IOMemoryDescriptor* descriptor = nullptr;
    with_gate_closed(ivars->deviceQueue, [&] {
        *options = 0;
        if (ivars->fDevice != nullptr) {
            descriptor = ivars->fDevice->GetBufferDesc(static_cast<int>(type));
        }
    });
    if (descriptor == nullptr) {
        return kIOReturnError;
    }
    *memory = descriptor;
    return kIOReturnSuccess;
}

IOReturn com_vork_driver_tide_userClient::GetDeviceInfo(const void*, Dext::DeviceInfoRequest* result)
{
    DextLog("KorvanUserClient::GetDeviceInfo\n");
    return onDeviceQueue([&](com_vork_driver_tide_provider* hardware) {
        return result != nullptr ? hardware->GetDeviceInfo(result) : kIOReturnError;
    });
}

IOReturn com_vork_driver_tide_userClient::SetProperty(SetPropertyRequest* request, Dext::ErrorResult* result)
{
    DextLog("KorvanUserClient::SetProperty\n");
    return onDeviceQueue([&](com_vork_driver_tide_provider*) {
        if (request == nullptr || result == nullptr) {
            return kIOReturnError;
        }
        result->fStatus = kIOReturnBadArgument;
        return kIOReturnBadArgument;
    });
}

IOReturn com_vork_driver_tide_userClient::GetProperty(GetPropertyRequest* request,
                                                      Dext::GetPropertyResult* result)
{
    DextLog("KorvanUserClient::GetProperty\n");
    return onDeviceQueue([&](com_vork_driver_tide_provider*) {
        if (request == nullptr || result == nullptr) {
            return kIOReturnError;
        }
        result->fValue = PropertyValue(request->fProperty);
        result->fStatus = kIOReturnSuccess;
        return kIOReturnSuccess;
    });
}

IOReturn com_vork_driver_tide_userClient::SendUACControlRequest(USBUACControlRequest* request,
                                                                Dext::USBControlResponse* result)
{
    DextLog("KorvanUserClient::SendUACControlRequest\n");
    return onDeviceQueue([&](com_vork_driver_tide_provider* hardware) {
        return request != nullptr && result != nullptr ? hardware->SendUACControlRequest(request, result)
                                                       : kIOReturnError;
    });
}

IOReturn com_vork_driver_tide_userClient::SendVendorControlRequest(USBVendorControlRequest* request,
                                                                   Dext::USBControlResponse* result)
{
    DextLog("KorvanUserClient::SendVendorControlRequest\n");
    return onDeviceQueue([&](com_vork_driver_tide_provider* hardware) {
        return request != nullptr && result != nullptr ? hardware->SendVendorControlRequest(request, result)
                                                       : kIOReturnError;
    });
}

IOReturn com_vork_driver_tide_userClient::SetUSBAudioRunState(USBAudioRunStateRequest* request,
                                                              Dext::ErrorResult* result)
{
    DextLog("KorvanUserClient::SetUSBAudioRunState\n");
    OSSharedPtr<com_vork_driver_tide_userClient> self(this, OSRetain);
    IOReturn ret = kIOReturnError;
    with_gate_closed(ivars->deviceQueue, [&] {
        if (request == nullptr || result == nullptr || !ivars->fClientTypeIsSet ||
            ivars->clientType != kAudioUserClientType) {
            return;
        }
        if ((ivars->runState != 0) == (request->fRunState != 0)) {
            result->fStatus = kIOReturnSuccess;
            ret = kIOReturnSuccess;
            return;
        }
        DextLog("KorvanAudioUserClient setting run state audiostate to %d\n", request->fRunState);
        com_vork_driver_tide_control_interface* device = ivars->fDevice;
        com_vork_driver_tide_provider* hardware = device != nullptr ? device->GetProvider() : nullptr;
        if (hardware == nullptr) {
            return;
        }
        if (request->fRunState != 0) {
            result->fStatus = hardware->StartAudioDMA(request->fInInterfaceNum, request->fInAlt,
                                                      request->fInBytesPerFrame, request->fOutInterfaceNum,
                                                      request->fOutAlt, request->fOutBytesPerFrame);
            if (result->fStatus != kIOReturnSuccess) {
                return;
            }
            ivars->runState = request->fRunState;
        } else {
            hardware->StopAudioDMA();
            ivars->runState = 0;
            result->fStatus = kIOReturnSuccess;
        }
        ret = kIOReturnSuccess;
    });
    return ret;
}

IOReturn com_vork_driver_tide_userClient::GetUSBConfig1Descriptors(const void*, Dext::USBDescriptors* result)
{
    DextLog("KorvanUserClient::GetUSBConfig1Descriptors\n");
    return onDeviceQueue([&](com_vork_driver_tide_provider* hardware) {
        return result != nullptr ? hardware->GetUSBConfig1Descriptors(result) : kIOReturnError;
    });
}

IOReturn com_vork_driver_tide_userClient::GetChannelNames(const ChannelNamesRequest* request,
                                                          Dext::ChannelNamesResponse* result)
{
    DextLog("KorvanUserClient::GetChannelNames\n");
    return onDeviceQueue([&](com_vork_driver_tide_provider* hardware) {
        return request != nullptr && result != nullptr ? hardware->GetChannelNames(request, result)
                                                       : kIOReturnError;
    });
}
