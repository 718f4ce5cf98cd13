#include "com_vork_driver_tide_control_interface.h"

#include "com_vork_driver_tide_usb_provider.h"
#include "com_vork_driver_tide_userClient.h"

#include <IOKit/IOLib.h>
#include <libkern/c++/OSNumber.h>

#include <KorvanDeviceIdentities.h>

OSDefineMetaClassAndStructors(com_vork_driver_tide_control_interface, com_vork_driver_tide_base_interface)
#define super com_vork_driver_tide_base_interface

    namespace
{

    constexpr const char* kSourceFile = "Kernel/KorvanDevice";
    constexpr const char* kUIDProperty = "com_vork_driver_tide_device_UID";

    uint32_t numberProperty(const IOService* service, const char* key, bool* present = nullptr)
    {
        const auto* number = OSDynamicCast(OSNumber, service->getProperty(key));
        if (present) {
            *present = number != nullptr;
        }
        return number ? number->unsigned32BitValue() : 0;
    }

} // namespace

bool com_vork_driver_tide_control_interface::start(IOService* provider)
{
    IOLog("KorvanUAC_Control::start\n");
    TakeInstanceNumber();
    if (!provider || !IOService::start(provider)) {
        IOLog("KorvanUAC_Control::start failed -- stopping\n");
        StopBase(provider);
        return false;
    }
    IOLog("VORK STARTED BASE IFACE %u\n", fInstance);
    RegisterPowerAndPublish(provider);

    fSleeping = false;
    auto* interface = OSDynamicCast(IOUSBHostInterface, provider);
    IOWorkLoop* workLoop = interface ? interface->getWorkLoop() : nullptr;
    if (!workLoop) {
        return false;
    }
    workLoop->closeGate();
    IOUSBHostDevice* device = interface->getDevice();
    if (!device) {
        stop(provider);
        LogLoadFailure(__LINE__);
        workLoop->openGate();
        return false;
    }
    IOLog("It's a VORK USB device!\n");
    if (EvictClassDriver(device)) {
        workLoop->openGate();
        return false;
    }
    fInterface = interface;
    fInterface->open(this);
    fProvider = CreateProvider(interface);
    if (!fProvider) {
        LogLoadFailure(__LINE__);
        fInterface->close(this);
        fInterface = nullptr;
        workLoop->openGate();
        return false;
    }
    const char* uid = fProvider->GetGUID();
    setProperty(kUIDProperty, uid ? uid : "");
    workLoop->openGate();
    return true;
}

void com_vork_driver_tide_control_interface::stop(IOService* provider)
{
    // The slots and the provider are let go with the gate closed too: a client closing at the same
    // time finds its slot either still held or already empty, never both released.
    IOWorkLoop* workLoop = getWorkLoop();
    if (workLoop) {
        workLoop->closeGate();
    }
    IOLog("KorvanUAC_Control::stop...\n");
    if (fProvider) {
        fProvider->Stop();
    }
    OSSafeReleaseNULL(fTestClient);
    OSSafeReleaseNULL(fAudioClient);
    OSSafeReleaseNULL(fProvider);
    if (fInterface) {
        fInterface->close(this);
        fInterface = nullptr;
    }
    if (workLoop) {
        workLoop->openGate();
    }
    StopBase(provider);
}

bool com_vork_driver_tide_control_interface::willTerminate(IOService* provider, IOOptionBits options)
{
    IOLog("KorvanUAC_Control willTerminate\n");
    return super::willTerminate(provider, options);
}

bool com_vork_driver_tide_control_interface::EvictClassDriver(IOUSBHostDevice* device)
{
    const uint32_t ourLocation = numberProperty(device, "locationID");
    IOLog("Looking for Apple UAC services matching: %08x\n", ourLocation);
    OSDictionary* matching = serviceMatching("AppleUSBAudioDevice");
    OSIterator* services = getMatchingServices(matching);
    OSSafeReleaseNULL(matching);
    bool evicting = false;
    while (OSObject* object = services ? services->getNextObject() : nullptr) {
        auto* service = OSDynamicCast(IOService, object);
        IOService* host = service ? service->getProvider() : nullptr;
        if (!host || numberProperty(host, "locationID") != ourLocation) {
            continue;
        }
        bool hasProduct = false;
        const uint32_t product = numberProperty(host, "idProduct", &hasProduct);
        if (numberProperty(host, "idVendor") != KorvanDeviceIdentities::kVendorID || !hasProduct ||
            product != KorvanDeviceIdentities::kWrenletProductID) {
            continue;
        }
        IOLog("Apple UAC driver is loaded: %08x\n", ourLocation);
        IOLog("Reset USB to unload Apple UAC\n");
        device->reset();
        evicting = true;
        break;
    }
    OSSafeReleaseNULL(services);
    return evicting;
}

com_vork_driver_tide_provider*
com_vork_driver_tide_control_interface::CreateProvider(IOUSBHostInterface* interface)
{
    return com_vork_driver_tide_usb_provider::CreateUSBProvider(interface, this);
}

void com_vork_driver_tide_control_interface::LogLoadFailure(int line)
{
    IOLog("VORK Korvan Driver: Couldn't load.  File %s, line %d\n", kSourceFile, line);
}

IOReturn com_vork_driver_tide_control_interface::newUserClient(task_t owningTask, void* securityID,
                                                               UInt32 type, OSDictionary* properties,
                                                               IOUserClient** handler)
{
    const char typeText[4] = {char(type >> 24), char(type >> 16), char(type >> 8), char(type)};
    IOLog("newUserClient type %4.4s\n", typeText);
    com_vork_driver_tide_userClient** slot = nullptr;
    if (type == com_vork_driver_tide_userClient::kAudioClientType) {
        slot = &fAudioClient;
    } else if (type == com_vork_driver_tide_userClient::kTestClientType) {
        slot = &fTestClient;
    } else {
        IOLog("!!!Unknown user client type!!!\n");
        return IOService::newUserClient(owningTask, securityID, type, properties, handler);
    }
    // The slot is looked at and filled in one turn of the gate, so two opens of one type cannot
    // both find it empty.
    IOWorkLoop* workLoop = getWorkLoop();
    if (workLoop) {
        workLoop->closeGate();
    }
    const IOReturn result = OpenClientInSlot(slot, owningTask, securityID, type, properties, handler);
    if (workLoop) {
        workLoop->openGate();
    }
    return result;
}

IOReturn com_vork_driver_tide_control_interface::OpenClientInSlot(com_vork_driver_tide_userClient** slot,
                                                                  task_t owningTask, void* securityID,
                                                                  UInt32 type, OSDictionary* properties,
                                                                  IOUserClient** handler)
{
    if (*slot) {
        IOLog(slot == &fAudioClient
                  ? "KorvanUAC_Control::newUserClient can't create multiple audio user clients\n"
                  : "KorvanUAC_Control::newUserClient can't create multiple test user clients\n");
        return IOService::newUserClient(owningTask, securityID, type, properties, handler);
    }
    com_vork_driver_tide_userClient* client = nullptr;
    const IOReturn result = com_vork_driver_tide_userClient::createUserClient(this, owningTask, securityID,
                                                                              type, properties, &client);
    if (result != kIOReturnSuccess) {
        IOLog("ReportError(%s %d: %08X)\n", kSourceFile, __LINE__, unsigned(result));
        return result;
    }
    IOLog("KorvanUAC_Control::newUserClient %p\n", static_cast<void*>(client));
    *handler = client;
    client->retain();
    *slot = client;
    return kIOReturnSuccess;
}

void com_vork_driver_tide_control_interface::UserClientClosed(com_vork_driver_tide_userClient* client)
{
    IOLog("KorvanUAC_Control::UserClientClosed %p\n", static_cast<void*>(client));
    if (client && client == fTestClient) {
        IOLog("KorvanUAC_Control::closing test userClient\n");
        fTestClient = nullptr;
    } else if (client && client == fAudioClient) {
        IOLog("KorvanUAC_Control::closing audio userClient\n");
        fAudioClient = nullptr;
    } else {
        // After stop emptied the slots (an unplug with the client open) there is nothing to let go.
        IOLog("userClient closed complete\n");
        return;
    }
    if (!isInactive()) {
        client->terminate();
    }
    client->release();
    IOLog("userClient closed complete\n");
}

void com_vork_driver_tide_control_interface::NotifyUserClient(UInt32 clientType, UInt32 type,
                                                              const void* data, UInt32 length)
{
    com_vork_driver_tide_userClient* client = nullptr;
    if (clientType == com_vork_driver_tide_userClient::kAudioClientType) {
        client = fAudioClient;
    } else if (clientType == com_vork_driver_tide_userClient::kTestClientType) {
        client = fTestClient;
    }
    if (client) {
        client->NotifyUserClient(type, data, length);
    }
}

IOMemoryDescriptor* com_vork_driver_tide_control_interface::GetBufferDesc(int memoryType)
{
    return fProvider ? fProvider->GetBufferDesc(memoryType) : nullptr;
}

void com_vork_driver_tide_control_interface::Sleep()
{
    IOLog("Korvan sleep/pause %s\n", fSleeping ? "sleeping" : "awake");
    IOWorkLoop* workLoop = getWorkLoop();
    if (!workLoop) {
        return;
    }
    workLoop->closeGate();
    if (!fSleeping && fProvider) {
        fProvider->HardwareStop();
        fSleeping = true;
    }
    workLoop->openGate();
}

void com_vork_driver_tide_control_interface::Wake()
{
    IOLog("Korvan wake/unpause %s\n", fSleeping ? "sleeping" : "awake");
    IOWorkLoop* workLoop = getWorkLoop();
    if (!workLoop) {
        return;
    }
    workLoop->closeGate();
    if (fSleeping && fProvider) {
        if (fProvider->HardwareInit()) {
            fSleeping = false;
        } else {
            IOLog("FAILED TO WAKE\n");
            fProvider->HardwareStop();
        }
    }
    workLoop->openGate();
}
