#include "com_vork_driver_tide_control_interface.h"

#include "DextReport.h"
#include "com_vork_driver_tide_usb_provider.h"
#include "com_vork_driver_tide_userClient.h"
#include "with_gate_closed.h"

#include <DriverKit/OSDictionary.h>
#include <DriverKit/OSMetaClass.h>
#include <DriverKit/OSString.h>
#include <USBDriverKit/IOUSBHostDevice.h>

OSDefineMetaClassAndStructors(com_vork_driver_tide_control_interface, com_vork_driver_tide_base_interface);

struct com_vork_driver_tide_control_interface::Ivars
{
    IOService* providerService;
    IOUSBHostInterface* fUSBInterface;
    com_vork_driver_tide_provider* provider;
    // The two slots are read from the bus queue too, so they change only under this lock.
    IOLock* clientsLock;
    com_vork_driver_tide_userClient* fTestUserClient;
    com_vork_driver_tide_userClient* fAudioIOUserClient;
};

bool com_vork_driver_tide_control_interface::init()
{
    if (!com_vork_driver_tide_base_interface::init()) {
        return false;
    }
    ivars = static_cast<Ivars*>(IOMallocZero(sizeof(Ivars)));
    if (ivars == nullptr) {
        ReportBooleanError("ivars = IONewZero(com_vork_driver_tide_control_interface_IVars, 1)");
        return false;
    }
    ivars->clientsLock = IOLockAlloc();
    return ivars->clientsLock != nullptr;
}

void com_vork_driver_tide_control_interface::free()
{
    if (ivars != nullptr) {
        OSSafeReleaseNULL(ivars->fTestUserClient);
        OSSafeReleaseNULL(ivars->fAudioIOUserClient);
        OSSafeReleaseNULL(ivars->provider);
        OSSafeReleaseNULL(ivars->fUSBInterface);
        OSSafeReleaseNULL(ivars->providerService);
        if (ivars->clientsLock != nullptr) {
            IOLockFree(ivars->clientsLock);
        }
        IOFree(ivars, sizeof(Ivars));
        ivars = nullptr;
    }
    com_vork_driver_tide_base_interface::free();
}

com_vork_driver_tide_provider*
com_vork_driver_tide_control_interface::CreateProvider(IOUSBHostInterface* interface)
{
    return com_vork_driver_tide_usb_provider::CreateUSBProvider(interface, this);
}

kern_return_t com_vork_driver_tide_control_interface::Start(IOService* provider)
{
    kern_return_t ret = com_vork_driver_tide_base_interface::Start(provider);
    if (ret == kIOReturnSuccess) {
        auto* interface = OSDynamicCast(IOUSBHostInterface, provider);
        if (interface == nullptr) {
            return kIOReturnError;
        }
        OSSharedPtr<com_vork_driver_tide_control_interface> self(this, OSRetain);
        with_gate_closed(getWorkLoop(), [&] { ret = startOnDeviceQueue(provider, interface); });
        if (ret == kIOReturnSuccess) {
            ret = RegisterService();
            if (ret == kIOReturnSuccess) {
                return kIOReturnSuccess;
            }
            ReportError(ret, "ret = RegisterService()");
        }
    }
    // Whatever the start had taken is given back before the service goes.
    const kern_return_t stopped = Stop(provider);
    if (stopped != kIOReturnSuccess) {
        ReportError(stopped, "ret = Stop(provider, ((OSDispatchMethod) &super::_Dispatch))");
    }
    return ret;
}

kern_return_t com_vork_driver_tide_control_interface::startOnDeviceQueue(IOService* provider,
                                                                         IOUSBHostInterface* interface)
{
    IOUSBHostDevice* device = nullptr;
    kern_return_t ret = interface->CopyDevice(&device);
    if (ret != kIOReturnSuccess) {
        return ret;
    }
    OSSharedPtr<IOUSBHostDevice> deviceHeld(device, OSNoRetain);
    DextLog("It's a VORK USB device!\n");
    provider->retain();
    ivars->providerService = provider;
    interface->retain();
    ivars->fUSBInterface = interface;
    ret = interface->Open(this, 0, 0);
    if (ret != kIOReturnSuccess) {
        ReportError(ret, "ret = ivars->fUSBInterface->Open(this, 0, __null)");
    }
    ivars->provider = CreateProvider(interface);
    if (ivars->provider == nullptr) {
        DextLog("Couldn't create USBProvider");
        return kIOReturnNoMemory;
    }
    OSSharedPtr<OSString> key(OSString::withCString(kTideAudio_RegistryKey_DeviceUID), OSNoRetain);
    if (!key) {
        DextLog("Couldn't create kTideAudio_RegistryKey_DeviceUID string");
        return kIOReturnSuccess;
    }
    const char* uid = ivars->provider->GetGUID();
    OSSharedPtr<OSString> value(OSString::withCString(uid != nullptr ? uid : ""), OSNoRetain);
    if (!value) {
        DextLog("Couldn't create kTideAudio_RegistryKey_DeviceUID val");
        return kIOReturnSuccess;
    }
    OSSharedPtr<OSDictionary> props(OSDictionary::withCapacity(1), OSNoRetain);
    if (!props) {
        DextLog("Couldn't create user properties dictionary");
        return kIOReturnSuccess;
    }
    props->setObject(key.get(), value.get());
    ret = SetProperties(props.get());
    if (ret != kIOReturnSuccess) {
        ReportError(ret, "ret = SetProperties(props.get())");
    }
    return ret;
}

kern_return_t com_vork_driver_tide_control_interface::Stop(IOService* provider)
{
    DextLog("KorvanUAC_Control::stop...\n");
    OSSharedPtr<com_vork_driver_tide_control_interface> self(this, OSRetain);
    with_gate_closed(getWorkLoop(), [&] {
        if (ivars->provider != nullptr) {
            ivars->provider->Stop();
        }
        for (com_vork_driver_tide_userClient** slot : {&ivars->fTestUserClient, &ivars->fAudioIOUserClient}) {
            IOLockLock(ivars->clientsLock);
            com_vork_driver_tide_userClient* client = *slot;
            *slot = nullptr;
            IOLockUnlock(ivars->clientsLock);
            if (client != nullptr) {
                client->notifyDeviceRemoved();
                client->release();
            }
        }
        OSSafeReleaseNULL(ivars->provider);
        if (ivars->fUSBInterface != nullptr) {
            const kern_return_t ret = ivars->fUSBInterface->Close(this, 0);
            if (ret != kIOReturnSuccess) {
                ReportError(ret, "ivars->fUSBInterface->Close(this, 0)");
            }
            OSSafeReleaseNULL(ivars->fUSBInterface);
        }
        OSSafeReleaseNULL(ivars->providerService);
    });
    const kern_return_t ret = com_vork_driver_tide_base_interface::Stop(provider);
    if (ret != kIOReturnSuccess) {
        ReportError(ret, "Stop(provider, ((OSDispatchMethod) &super::_Dispatch))");
    }
    return ret;
}

kern_return_t com_vork_driver_tide_control_interface::NewUserClient(uint32_t type, IOUserClient** userClient)
{
    const char code[5] = {char(type >> 24), char(type >> 16), char(type >> 8), char(type), 0};
    DextLog("newUserClient type %4.4s\n", code);
    com_vork_driver_tide_userClient** slot = nullptr;
    if (type == kAudioUserClientType) {
        slot = &ivars->fAudioIOUserClient;
    } else if (type == kTestUserClientType) {
        slot = &ivars->fTestUserClient;
    } else {
        DextLog("!!!Unknown user client type!!!\n");
        return kIOReturnError;
    }
    IOLockLock(ivars->clientsLock);
    const bool taken = *slot != nullptr;
    IOLockUnlock(ivars->clientsLock);
    if (taken) {
        if (type == kAudioUserClientType) {
            DextLog("KorvanUAC_Control::newUserClient can't create multiple audio user clients\n");
        } else {
            DextLog("KorvanUAC_Control::newUserClient can't create multiple test user clients\n");
        }
        return kIOReturnError;
    }
    com_vork_driver_tide_userClient* client = nullptr;
    if (com_vork_driver_tide_userClient::CreateUserClient(this, type, &client) != kIOReturnSuccess) {
        return kIOReturnError;
    }
    client->retain();
    IOLockLock(ivars->clientsLock);
    *slot = client;
    IOLockUnlock(ivars->clientsLock);
    *userClient = client;
    return kIOReturnSuccess;
}

void com_vork_driver_tide_control_interface::UserClientClosed(com_vork_driver_tide_userClient* userClient)
{
    DextAssert(getWorkLoop() != nullptr && getWorkLoop()->OnQueue(), "getWorkLoop()->OnQueue()");
    DextLog("KorvanUAC_Control::UserClientClosed %p\n", static_cast<void*>(userClient));
    OSSharedPtr<com_vork_driver_tide_userClient> held(userClient, OSRetain);
    IOLockLock(ivars->clientsLock);
    com_vork_driver_tide_userClient* released = nullptr;
    const bool known = ivars->fAudioIOUserClient == userClient || ivars->fTestUserClient == userClient;
    const bool test = ivars->fTestUserClient == userClient;
    if (test) {
        released = std::exchange(ivars->fTestUserClient, nullptr);
    } else if (ivars->fAudioIOUserClient == userClient) {
        released = std::exchange(ivars->fAudioIOUserClient, nullptr);
    }
    IOLockUnlock(ivars->clientsLock);
    DextAssert(known, "(ivars->fAudioIOUserClient == userClient) or (ivars->fTestUserClient == userClient)");
    if (released != nullptr) {
        DextLog(test ? "KorvanUAC_Control::closing test userClient\n"
                     : "KorvanUAC_Control::closing audio userClient\n");
        released->release();
    }
    held.reset();
    DextLog("userClient closed complete\n");
}

com_vork_driver_tide_provider* com_vork_driver_tide_control_interface::GetProvider() const
{
    return ivars != nullptr ? ivars->provider : nullptr;
}

IOMemoryDescriptor* com_vork_driver_tide_control_interface::GetBufferDesc(int type)
{
    com_vork_driver_tide_provider* provider = GetProvider();
    return provider != nullptr ? provider->GetBufferDesc(type) : nullptr;
}

void com_vork_driver_tide_control_interface::NotifyUserClient(uint32_t clientType, uint32_t notificationType,
                                                              const void* data, uint32_t length)
{
    com_vork_driver_tide_userClient* client = nullptr;
    IOLockLock(ivars->clientsLock);
    if (clientType == kAudioUserClientType) {
        client = ivars->fAudioIOUserClient;
    } else if (clientType == kTestUserClientType) {
        client = ivars->fTestUserClient;
    }
    if (client != nullptr) {
        client->retain();
    }
    IOLockUnlock(ivars->clientsLock);
    if (client != nullptr) {
        client->NotifyUserClient(notificationType, data, length);
        client->release();
    }
}

void com_vork_driver_tide_control_interface::Sleep()
{
    constexpr const char* kName = "virtual void com_vork_driver_tide_control_interface::Sleep()";
    DextLog("+%s", kName);
    if (!isSleeping() && GetProvider() != nullptr) {
        GetProvider()->HardwareStop();
        setSleeping(true);
    }
    DextLog("-%s", kName);
}

void com_vork_driver_tide_control_interface::Wake()
{
    constexpr const char* kName = "virtual void com_vork_driver_tide_control_interface::Wake()";
    DextLog("+%s", kName);
    if (isSleeping() && GetProvider() != nullptr) {
        if (GetProvider()->HardwareInit()) {
            setSleeping(false);
        } else {
            DextLog("FAILED TO WAKE\n");
            GetProvider()->HardwareStop();
        }
    }
    DextLog("-%s", kName);
}
