#include "com_vork_driver_tide_userClient.h"

#include "com_vork_driver_tide_control_interface.h"

#include <IOKit/IOLib.h>

#include <cstring>

OSDefineMetaClassAndStructors(com_vork_driver_tide_userClient, IOUserClient)
#define super IOUserClient

    using namespace KorvanDeviceIO;

namespace {

constexpr uint32_t kVersionProperty = 1;
constexpr uint32_t kVersionNumber = 95375;
constexpr uint32_t kUnknownPropertyValue = 0x2000000;

template <typename Method>
IOExternalMethod entry(Method method, IOByteCount inputBytes, IOByteCount outputBytes)
{
    return {nullptr, reinterpret_cast<IOMethod>(method), kIOUCStructIStructO, inputBytes, outputBytes};
}

using Client = com_vork_driver_tide_userClient;

IOExternalMethod gMethods[] = {
    entry(&Client::GetDeviceInfo, sizeof(DeviceInfoRequest), sizeof(DeviceInfoRequest)),
    entry(&Client::SetProperty, sizeof(SetPropertyRequest), sizeof(ErrorResult)),
    entry(&Client::GetProperty, sizeof(GetPropertyRequest), sizeof(GetPropertyResult)),
    entry(&Client::SendUACControlRequest, sizeof(USBUACControlRequest), sizeof(USBControlResponse)),
    entry(&Client::SendVendorControlRequest, sizeof(USBVendorControlRequest), sizeof(USBControlResponse)),
    entry(&Client::SetUSBAudioRunState, sizeof(USBAudioRunStateRequest), sizeof(ErrorResult)),
    entry(&Client::GetUSBConfig1Descriptors, sizeof(USBDescriptors), sizeof(USBDescriptors)),
    entry(&Client::GetChannelNames, sizeof(ChannelNamesRequest), sizeof(ChannelNamesResponse)),
    entry(&Client::GetStreamingHeadersSupportedVersion, 0, sizeof(StreamingHeadersResponse)),
    entry(&Client::SetStreamingHeadersEnable, sizeof(EnableStreamingHeadersRequest), 0),
};

static_assert(std::size(gMethods) == std::size(kKernelMethods));

} // namespace

IOReturn com_vork_driver_tide_userClient::createUserClient(com_vork_driver_tide_control_interface* control,
                                                           task_t task, void* securityID, UInt32 type,
                                                           OSDictionary* properties,
                                                           com_vork_driver_tide_userClient** client)
{
    IOLog("KorvanUserClient::createUserClient\n");
    IOWorkLoop* workLoop = control ? control->getWorkLoop() : nullptr;
    auto* created = workLoop ? new com_vork_driver_tide_userClient : nullptr;
    if (!created) {
        return kIOReturnError;
    }
    if (!created->initWithTask(task, securityID, type, properties) || !created->attach(control)) {
        created->release();
        return kIOReturnError;
    }
    if (!created->start(control)) {
        created->detach(control);
        created->release();
        return kIOReturnError;
    }
    created->fClientType = type;
    created->fRunState = 0;
    created->fControl = control;
    workLoop->retain();
    created->fWorkLoop = workLoop;
    IOLog("Success creating user client\n");
    *client = created;
    return kIOReturnSuccess;
}

template <typename Call>
IOReturn com_vork_driver_tide_userClient::WithProvider(const char* method, Call call)
{
    IOLog("KorvanUserClient::%s\n", method);
    if (!fWorkLoop) {
        return kIOReturnError;
    }
    fWorkLoop->closeGate();
    com_vork_driver_tide_provider* provider = fControl ? fControl->GetProvider() : nullptr;
    const IOReturn result = provider ? call(provider) : IOReturn(kIOReturnError);
    fWorkLoop->openGate();
    return result;
}

IOReturn com_vork_driver_tide_userClient::GetDeviceInfo(void* input, void* output, void*, void*, void*, void*)
{
    return WithProvider("GetDeviceInfo", [&](com_vork_driver_tide_provider* provider) {
        return input && output ? provider->GetDeviceInfo(static_cast<DeviceInfoRequest*>(output))
                               : IOReturn(kIOReturnError);
    });
}

IOReturn com_vork_driver_tide_userClient::SetProperty(void* input, void* output, void*, void*, void*, void*)
{
    return WithProvider("SetProperty", [&](com_vork_driver_tide_provider*) {
        if (!input || !output) {
            return IOReturn(kIOReturnError);
        }
        static_cast<ErrorResult*>(output)->fStatus = kIOReturnBadArgument;
        return IOReturn(kIOReturnBadArgument);
    });
}

IOReturn com_vork_driver_tide_userClient::GetProperty(void* input, void* output, void*, void*, void*, void*)
{
    return WithProvider("GetProperty", [&](com_vork_driver_tide_provider*) {
        if (!input || !output) {
            return IOReturn(kIOReturnError);
        }
        auto* result = static_cast<GetPropertyResult*>(output);
        result->fStatus = kIOReturnSuccess;
        result->fValue = static_cast<GetPropertyRequest*>(input)->fProperty == kVersionProperty
                             ? kVersionNumber
                             : kUnknownPropertyValue;
        return IOReturn(kIOReturnSuccess);
    });
}

IOReturn com_vork_driver_tide_userClient::SendUACControlRequest(void* input, void* output, void*, void*,
                                                                void*, void*)
{
    return WithProvider("SendUACControlRequest", [&](com_vork_driver_tide_provider* provider) {
        return input && output ? provider->SendUACControlRequest(static_cast<USBUACControlRequest*>(input),
                                                                 static_cast<USBControlResponse*>(output))
                               : IOReturn(kIOReturnError);
    });
}

IOReturn com_vork_driver_tide_userClient::SendVendorControlRequest(void* input, void* output, void*, void*,
                                                                   void*, void*)
{
    return WithProvider("SendVendorControlRequest", [&](com_vork_driver_tide_provider* provider) {
        return input && output
                   ? provider->SendVendorControlRequest(static_cast<USBVendorControlRequest*>(input),
                                                        static_cast<USBControlResponse*>(output))
                   : IOReturn(kIOReturnError);
    });
}

IOReturn com_vork_driver_tide_userClient::SetUSBAudioRunState(void* input, void* output, void*, void*, void*,
                                                              void*)
{
    return WithProvider("SetUSBAudioRunState", [&](com_vork_driver_tide_provider* provider) {
        if (!input || !output) {
            return IOReturn(kIOReturnError);
        }
        const auto* request = static_cast<USBAudioRunStateRequest*>(input);
        auto* status = &static_cast<ErrorResult*>(output)->fStatus;
        if (fClientType != kAudioClientType) {
            *status = kIOReturnError;
            return IOReturn(kIOReturnError);
        }
        *status = kIOReturnSuccess;
        if ((request->fRunState != 0) == (fRunState != 0)) {
            return IOReturn(kIOReturnSuccess);
        }
        IOLog("KorvanAudioUserClient setting run state audiostate to %d\n", int(request->fRunState));
        if (request->fRunState == 0) {
            provider->StopAudioDMA();
            fRunState = 0;
            return IOReturn(kIOReturnSuccess);
        }
        if (provider->StartAudioDMA(request->fInInterfaceNum, request->fInAlt, request->fInBytesPerFrame,
                                    request->fOutInterfaceNum, request->fOutAlt,
                                    request->fOutBytesPerFrame) != kIOReturnSuccess) {
            *status = kIOReturnError;
            return IOReturn(kIOReturnError);
        }
        fRunState = request->fRunState;
        return IOReturn(kIOReturnSuccess);
    });
}

IOReturn com_vork_driver_tide_userClient::GetUSBConfig1Descriptors(void* input, void* output, void*, void*,
                                                                   void*, void*)
{
    return WithProvider("GetUSBConfig1Descriptors", [&](com_vork_driver_tide_provider* provider) {
        return input && output ? provider->GetUSBConfig1Descriptors(static_cast<USBDescriptors*>(output))
                               : IOReturn(kIOReturnError);
    });
}

IOReturn com_vork_driver_tide_userClient::GetChannelNames(void* input, void* output, void*, void*, void*,
                                                          void*)
{
    return WithProvider("GetChannelNames", [&](com_vork_driver_tide_provider* provider) {
        return input && output ? provider->GetChannelNames(static_cast<ChannelNamesRequest*>(input),
                                                           static_cast<ChannelNamesResponse*>(output))
                               : IOReturn(kIOReturnError);
    });
}

IOReturn com_vork_driver_tide_userClient::GetStreamingHeadersSupportedVersion(void*, void*, void*, void*,
                                                                              void*, void*)
{
    return kIOReturnUnsupported;
}

IOReturn com_vork_driver_tide_userClient::SetStreamingHeadersEnable(void*, void*, void*, void*, void*, void*)
{
    return kIOReturnUnsupported;
}

IOExternalMethod* com_vork_driver_tide_userClient::getTargetAndMethodForIndex(IOService** target,
                                                                              UInt32 index)
{
    if (index >= std::size(gMethods)) {
        return nullptr;
    }
    *target = this;
    return &gMethods[index];
}

IOReturn com_vork_driver_tide_userClient::clientClose()
{
    IOLog("KorvanUserClient::clientClose start\n");
    if (fWorkLoop) {
        fWorkLoop->closeGate();
        com_vork_driver_tide_provider* provider = fControl ? fControl->GetProvider() : nullptr;
        if (fRunState != 0 && provider) {
            provider->StopAudioDMA();
        }
        fRunState = 0;
        if (fControl) {
            fControl->UserClientClosed(this);
        }
        fControl = nullptr;
        fWorkLoop->openGate();
    }
    IOLog("KorvanUserClient::clientClose end\n");
    return kIOReturnSuccess;
}

void com_vork_driver_tide_userClient::free()
{
    IOLog("+KorvanUserClient::free\n");
    OSSafeReleaseNULL(fWorkLoop);
    super::free();
    IOLog("-KorvanUserClient::free\n");
}

IOReturn com_vork_driver_tide_userClient::registerNotificationPort(mach_port_t port, UInt32, UInt32 refCon)
{
    if (!fWorkLoop) {
        return kIOReturnError;
    }
    fWorkLoop->closeGate();
    IOLog("KorvanUserClient::registerNotificationPort\n");
    fMessage.fHeader.msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, 0);
    fMessage.fHeader.msgh_size = sizeof(fMessage);
    fMessage.fHeader.msgh_remote_port = port;
    fMessage.fHeader.msgh_local_port = MACH_PORT_NULL;
    fMessage.fHeader.msgh_voucher_port = 0;
    fMessage.fHeader.msgh_id = 0;
    fMessage.fReference = refCon;
    fPortRegistered = true;
    fWorkLoop->openGate();
    return kIOReturnSuccess;
}

bool com_vork_driver_tide_userClient::NotifyUserClient(UInt32 type, const void* data, UInt32 length)
{
    if (!fPortRegistered || length > kMaxNotificationDataBytes) {
        IOLog("KorvanUserClient::NotifyUserClient NOT SENT\n");
        return false;
    }
    fMessage.fType = type;
    fMessage.fLength = length;
    if (data && length > 0) {
        std::memcpy(fMessage.fData, data, length);
    }
    // Never waits inside the gate on a client whose queue is full: that message is dropped.
    const kern_return_t result =
        mach_msg_send_from_kernel_with_options(&fMessage.fHeader, sizeof(fMessage), MACH_SEND_TIMEOUT, 0);
    if (result != MACH_MSG_SUCCESS && result != MACH_SEND_TIMED_OUT) {
        IOLog("KorvanUserClient: NotifyUserClient() msg_send returned: %d:%x\n", result, result);
    }
    return result == MACH_MSG_SUCCESS;
}

IOReturn com_vork_driver_tide_userClient::clientMemoryForType(UInt32 type, IOOptionBits* options,
                                                              IOMemoryDescriptor** memory)
{
    if (!fWorkLoop) {
        return kIOReturnNotAttached;
    }
    // The control service is looked at with the gate closed: clientClose forgets it under the gate.
    fWorkLoop->closeGate();
    IOReturn result = kIOReturnBadArgument;
    if (!fControl) {
        result = kIOReturnNotAttached;
    } else if (options && memory) {
        *options = kIOMapAnywhere;
        *memory = type == kInputRingMemoryType || type == kOutputRingMemoryType
                      ? fControl->GetBufferDesc(int(type))
                      : nullptr;
        result = *memory ? kIOReturnSuccess : kIOReturnBadArgument;
    }
    fWorkLoop->openGate();
    return result;
}
