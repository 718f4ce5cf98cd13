#include "Failures.h"
#include "FrameReadHook.h"
#include "RegistryAccess.h"
#include "ServiceAccess.h"
#include "USBCompletions.h"
#include "USBHostAccess.h"

#include <IOKit/IOLib.h>
#include <libkern/c++/OSNumber.h>

#include <DescriptorCopies.h>
#include <USBDriverKit/USBTypes.h>

#include <SimUSB/Bus.h>
#include <SimUSB/Setup.h>

#include <thread>

OSDefineMetaClassAndStructors(IOUSBHostDevice, IOService)
    OSDefineMetaClassAndStructors(IOUSBHostInterface, IOService)

        namespace
{

    IOReturn control(IOUSBHostDeviceCore * core, StandardUSB::DeviceRequest & request, void* data,
                     uint32_t& bytesTransferred, uint32_t timeoutMs)
    {
        bytesTransferred = 0;
        if (!core) {
            return kIOReturnNoDevice;
        }
        if (const IOReturn injected =
                KernelIOKitPlatform::injectedFailure(core, KernelIOKitPlatform::FailingCall::DeviceRequest)) {
            return injected;
        }
        if (request.wLength > 0 && !data) {
            return kIOReturnBadArgument;
        }
        const SimUSB::SetupPacket setup{request.bmRequestType, request.bRequest, request.wValue,
                                        request.wIndex, request.wLength};
        const SimUSB::ControlResult result =
            core->fBus->control(setup, static_cast<uint8_t*>(data), timeoutMs);
        bytesTransferred = result.length;
        return IOReturn(result.status);
    }

    uint64_t frameNumber(IOUSBHostDeviceCore * core, AbsoluteTime * theTime)
    {
        const bool fails =
            KernelIOKitPlatform::injectedFailure(core, KernelIOKitPlatform::FailingCall::GetFrameNumber) != 0;
        const SimUSB::FrameReading reading =
            core && !fails ? core->fBus->readFrame() : SimUSB::FrameReading{};
        if (theTime) {
            *theTime = reading.time;
        }
        KernelIOKitPlatform::frameRead(reading.frame, reading.time);
        return reading.frame;
    }

    // Off the caller's thread: the re-enumeration terminates the services the caller may be.
    void reEnumerate(uint8_t port)
    {
        std::thread([port] { SimUSB::Bus::shared().reEnumerate(port, 0); }).detach();
    }

    thread_local IOUSBHostDeferredResets* tDeferredResets = nullptr;

    void setNumber(IOService * service, const char* key, uint64_t value, unsigned bits)
    {
        service->setProperty(key, value, bits);
    }

} // namespace

const StandardUSB::DeviceDescriptor* IOUSBHostDevice::getDeviceDescriptor() const
{
    return fCore && fCore->fDeviceDescriptor.size() >= sizeof(StandardUSB::DeviceDescriptor)
               ? reinterpret_cast<const StandardUSB::DeviceDescriptor*>(fCore->fDeviceDescriptor.data())
               : nullptr;
}

const StandardUSB::ConfigurationDescriptor* IOUSBHostDevice::getConfigurationDescriptor() const
{
    return fCore ? fCore->fConfiguration : nullptr;
}

const StandardUSB::StringDescriptor* IOUSBHostDevice::getStringDescriptor(uint8_t index, uint16_t languageID,
                                                                          uint32_t* bytesReturned)
{
    if (bytesReturned) {
        *bytesReturned = 0;
    }
    if (!fCore) {
        return nullptr;
    }
    const uint32_t key = uint32_t(index) << 16 | languageID;
    {
        std::lock_guard lock(fCore->fStringsMutex);
        if (auto known = fCore->fStrings.find(key); known != fCore->fStrings.end()) {
            if (bytesReturned) {
                *bytesReturned = known->second.second;
            }
            return known->second.first;
        }
    }
    uint8_t bytes[255] = {};
    StandardUSB::DeviceRequest request{0x80, SimUSB::Request::kGetDescriptor,
                                       uint16_t(StandardUSB::kDescriptorTypeString << 8 | index), languageID,
                                       sizeof(bytes)};
    uint32_t length = 0;
    if (control(fCore, request, bytes, length, 5000) != kIOReturnSuccess || length < 2) {
        return nullptr;
    }
    const auto* copy =
        static_cast<const StandardUSB::StringDescriptor*>(DriverKitPlatform::copyDescriptor(bytes, length));
    std::lock_guard lock(fCore->fStringsMutex);
    auto [entry, added] = fCore->fStrings.try_emplace(key, copy, length);
    if (!added) {
        IOUSBHostFreeDescriptor(copy);
    }
    if (bytesReturned) {
        *bytesReturned = entry->second.second;
    }
    return entry->second.first;
}

IOReturn IOUSBHostDevice::deviceRequest(IOService*, StandardUSB::DeviceRequest& request, void* data,
                                        uint32_t& bytesTransferred, uint32_t completionTimeoutMs)
{
    return control(fCore, request, data, bytesTransferred, completionTimeoutMs);
}

uint64_t IOUSBHostDevice::getFrameNumber(AbsoluteTime* theTime) const
{
    return frameNumber(fCore, theTime);
}

IOReturn IOUSBHostDevice::reset()
{
    if (!fCore) {
        return kIOReturnNoDevice;
    }
    fCore->fResets.fetch_add(1);
    const uint8_t port = fCore->fBus->port();
    if (!IOUSBHostDeferredResets::defer(port)) {
        reEnumerate(port);
    }
    return kIOReturnSuccess;
}

IOUSBHostDeferredResets::IOUSBHostDeferredResets() : fOuter(tDeferredResets)
{
    tDeferredResets = this;
}

IOUSBHostDeferredResets::~IOUSBHostDeferredResets()
{
    tDeferredResets = fOuter;
    for (uint8_t port : fPorts) {
        reEnumerate(port);
    }
}

bool IOUSBHostDeferredResets::defer(uint8_t port)
{
    if (!tDeferredResets) {
        return false;
    }
    tDeferredResets->fPorts.push_back(port);
    return true;
}

IOWorkLoop* IOUSBHostDevice::getWorkLoop() const
{
    return fCore ? fCore->fWorkLoop : nullptr;
}

void IOUSBHostDevice::free()
{
    if (fCore) {
        fCore->fWorkLoop->removeEventSource(fCore->fCompletions);
        OSSafeReleaseNULL(fCore->fCompletions);
        OSSafeReleaseNULL(fCore->fWorkLoop);
        IOUSBHostFreeDescriptor(fCore->fConfiguration);
        for (auto& [key, string] : fCore->fStrings) {
            IOUSBHostFreeDescriptor(string.first);
        }
        delete fCore;
        fCore = nullptr;
    }
    IOService::free();
}

IOUSBHostDevice* IOUSBHostInterface::getDevice() const
{
    return OSDynamicCast(IOUSBHostDevice, getProvider());
}

const StandardUSB::ConfigurationDescriptor* IOUSBHostInterface::getConfigurationDescriptor() const
{
    IOUSBHostDevice* device = getDevice();
    return device ? device->getConfigurationDescriptor() : nullptr;
}

const StandardUSB::InterfaceDescriptor* IOUSBHostInterface::getInterfaceDescriptor() const
{
    IOUSBHostDevice* device = getDevice();
    IOUSBHostDeviceCore* core = device ? IOUSBHostAccess::core(device) : nullptr;
    if (!core) {
        return nullptr;
    }
    const uint8_t alternate = core->fBus->alternateSetting(fInterfaceNumber);
    const StandardUSB::ConfigurationDescriptor* configuration = core->fConfiguration;
    for (const auto* interface = StandardUSB::getNextInterfaceDescriptor(configuration, nullptr); interface;
         interface = StandardUSB::getNextInterfaceDescriptor(
             configuration, reinterpret_cast<const StandardUSB::Descriptor*>(interface))) {
        if (interface->bInterfaceNumber == fInterfaceNumber && interface->bAlternateSetting == alternate) {
            return interface;
        }
    }
    return nullptr;
}

IOReturn IOUSBHostInterface::selectAlternateSetting(uint8_t alternateSetting)
{
    StandardUSB::DeviceRequest request{0x01, SimUSB::Request::kSetInterface, alternateSetting,
                                       fInterfaceNumber, 0};
    uint32_t transferred = 0;
    return deviceRequest(this, request, nullptr, transferred, 5000);
}

IOUSBHostPipe* IOUSBHostInterface::copyPipe(uint8_t address)
{
    IOUSBHostDevice* device = getDevice();
    IOUSBHostDeviceCore* core = device ? IOUSBHostAccess::core(device) : nullptr;
    if (!core) {
        return nullptr;
    }
    const std::optional<SimUSB::EndpointInfo> endpoint = core->fBus->endpoint(address);
    if (!endpoint || endpoint->interface != fInterfaceNumber) {
        return nullptr;
    }
    return KernelIOKitPlatform::createPipe(device, *endpoint);
}

IOReturn IOUSBHostInterface::deviceRequest(IOService* forClient, StandardUSB::DeviceRequest& request,
                                           void* data, uint32_t& bytesTransferred,
                                           uint32_t completionTimeoutMs)
{
    IOUSBHostDevice* device = getDevice();
    if (!device) {
        bytesTransferred = 0;
        return kIOReturnNoDevice;
    }
    return device->deviceRequest(forClient, request, data, bytesTransferred, completionTimeoutMs);
}

uint64_t IOUSBHostInterface::getFrameNumber(AbsoluteTime* theTime) const
{
    IOUSBHostDevice* device = getDevice();
    return frameNumber(device ? IOUSBHostAccess::core(device) : nullptr, theTime);
}

IOWorkLoop* IOUSBHostInterface::getWorkLoop() const
{
    IOUSBHostDevice* device = getDevice();
    return device ? device->getWorkLoop() : nullptr;
}

bool IOUSBHostAccess::bindBusDevice(IOUSBHostDevice* device, const std::shared_ptr<SimUSB::HostDevice>& bus)
{
    const std::vector<uint8_t>& deviceBytes = bus->deviceDescriptor();
    const std::vector<uint8_t>& configurationBytes = bus->configurationDescriptor();
    if (!bus->connected() || deviceBytes.size() < sizeof(StandardUSB::DeviceDescriptor) ||
        configurationBytes.size() < sizeof(StandardUSB::ConfigurationDescriptor)) {
        return false;
    }
    IOWorkLoop* workLoop = IOWorkLoop::workLoop();
    IOUSBCompletionSource* completions = IOUSBCompletionSource::withOwner(device);
    if (!workLoop || !completions) {
        OSSafeReleaseNULL(workLoop);
        OSSafeReleaseNULL(completions);
        return false;
    }
    auto* core = new IOUSBHostDeviceCore;
    core->fBus = bus;
    core->fWorkLoop = workLoop;
    core->fCompletions = completions;
    core->fDeviceDescriptor = deviceBytes;
    core->fConfiguration = static_cast<const StandardUSB::ConfigurationDescriptor*>(
        DriverKitPlatform::copyDescriptor(configurationBytes.data(), configurationBytes.size()));
    device->fCore = core;
    workLoop->addEventSource(completions);
    return true;
}

IOUSBHostDevice* IOUSBHostAccess::createDeviceNub(const std::shared_ptr<SimUSB::HostDevice>& bus,
                                                  uint32_t locationID)
{
    auto* device = new IOUSBHostDevice;
    if (!device->init() || !bindBusDevice(device, bus)) {
        device->release();
        return nullptr;
    }
    const auto* descriptor = device->getDeviceDescriptor();
    auto setIdentity = [&](IOService* service) {
        setNumber(service, "idVendor", descriptor->idVendor, 16);
        setNumber(service, "idProduct", descriptor->idProduct, 16);
        setNumber(service, "bcdDevice", descriptor->bcdDevice, 16);
        setNumber(service, "locationID", locationID, 32);
    };
    setIdentity(device);

    const StandardUSB::ConfigurationDescriptor* configuration = device->fCore->fConfiguration;
    for (const auto* interface = StandardUSB::getNextInterfaceDescriptor(configuration, nullptr); interface;
         interface = StandardUSB::getNextInterfaceDescriptor(
             configuration, reinterpret_cast<const StandardUSB::Descriptor*>(interface))) {
        if (interface->bAlternateSetting != 0) {
            continue;
        }
        auto* nub = new IOUSBHostInterface;
        if (nub->init()) {
            nub->fInterfaceNumber = interface->bInterfaceNumber;
            setIdentity(nub);
            setNumber(nub, "bInterfaceNumber", interface->bInterfaceNumber, 8);
            setNumber(nub, "bInterfaceClass", interface->bInterfaceClass, 8);
            setNumber(nub, "bInterfaceSubClass", interface->bInterfaceSubClass, 8);
            setNumber(nub, "bInterfaceProtocol", interface->bInterfaceProtocol, 8);
            nub->attach(device);
        }
        nub->release();
    }
    return device;
}

IOUSBHostDevice*
IOUSBHostAccess::createBoundDeviceNub(const std::shared_ptr<SimUSB::HostDevice>& bus,
                                      const PlatformEntry& deviceEntry,
                                      const std::vector<std::pair<uint8_t, PlatformEntry>>& interfaces)
{
    auto* device = new IOUSBHostDevice;
    if (!IOServiceAccess::initWithPlatformEntry(device, deviceEntry) || !bindBusDevice(device, bus)) {
        device->release();
        return nullptr;
    }
    for (const auto& [number, entry] : interfaces) {
        auto* nub = new IOUSBHostInterface;
        if (IOServiceAccess::initWithPlatformEntry(nub, entry)) {
            nub->fInterfaceNumber = number;
            IORegistryEntryAccess::linkToParent(nub, device);
        }
        nub->release();
    }
    return device;
}
