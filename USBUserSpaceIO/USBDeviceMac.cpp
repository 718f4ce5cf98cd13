#include <USBDeviceImpl.h>
#include <USBDeviceInterfaceImpl.h>

#include <IOKit/IOCFPlugIn.h>
#include <os/log.h>

#include <chrono>
#include <cstdio>

namespace {

constexpr auto kRetryInterval = std::chrono::milliseconds(1000);
constexpr uint8_t kGetDescriptor = 0x06;
constexpr uint16_t kEnglish = 0x0409;
constexpr uint16_t kDeviceDescriptorLength = 18;

} // namespace

USBDevice::~USBDevice() = default;

void USBDevice::setImpl(std::unique_ptr<Impl> impl)
{
    fImpl = std::move(impl);
}

std::shared_ptr<USBDeviceInterface> USBDevice::findInterface(unsigned short interfaceClass,
                                                             unsigned short subClass, unsigned short protocol)
{
    return fImpl ? fImpl->findInterface(interfaceClass, subClass, protocol) : nullptr;
}

std::vector<uint8_t> USBDevice::getDeviceDescriptor()
{
    return fImpl ? fImpl->getDeviceDescriptor() : std::vector<uint8_t>(kDeviceDescriptorLength, 0);
}

bool USBDevice::controlTransfer(USBControlTransfer& transfer)
{
    return fImpl && fImpl->controlTransfer(transfer);
}

std::string USBDevice::getStringDescriptor(uint8_t index)
{
    return fImpl ? fImpl->getStringDescriptor(index) : std::string();
}

USBDevice::Impl::Impl(USBDispatcher& usbDispatcher, io_service_t service) : fUSBDispatcher(usbDispatcher)
{
    fUSBDispatcher.postSync(
        [this] { fDispatcher = std::make_unique<OwnDispatcher>([](const auto& message) { message(); }); });
    openDevice(service);
}

USBDevice::Impl::~Impl()
{
    if (fDispatcher)
        fDispatcher->stop();
    fInterfaces.clear();
    if (fEventSource != nullptr) {
        CFRunLoopSourceInvalidate(fEventSource);
        CFRelease(fEventSource);
    }
    if (fInterface && fOpened)
        (*fInterface.get())->USBDeviceClose(fInterface.get());
    fInterface.reset();
    if (fService != 0)
        IOObjectRelease(fService);
}

void USBDevice::Impl::registerDeviceOpenCallback(OpenCallback callback)
{
    if (fStatus)
        callback(this, *fStatus);
    else
        fOpenCallbacks.push_back(std::move(callback));
}

void USBDevice::Impl::openDevice(io_service_t service)
{
    if (service != 0) {
        IOCFPlugInInterface** plugIn = nullptr;
        SInt32 score = 0;
        if (IOCreatePlugInInterfaceForService(service, kIOUSBDeviceUserClientTypeID, kIOCFPlugInInterfaceID,
                                              &plugIn, &score) == kIOReturnSuccess &&
            plugIn != nullptr) {
            IOUSBDeviceInterface300** interface = nullptr;
            (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOUSBDeviceInterfaceID300),
                                      reinterpret_cast<LPVOID*>(&interface));
            fInterface.reset(interface);
            IODestroyPlugInInterface(plugIn);
            IOObjectRetain(service);
            fService = service;
        }
    }
    if (!fInterface) {
        setOpenStatus(OpenFailure{});
        return;
    }
    IOUSBDeviceInterface300** device = fInterface.get();
    const IOReturn opened = (*device)->USBDeviceOpen(device);
    if (opened == kIOReturnExclusiveAccess) {
        os_log(OS_LOG_DEFAULT, "kIOReturnExclusiveAccess\n");
        UInt8 configuration = 0;
        (*device)->GetConfiguration(device, &configuration);
        if (configuration != 1) {
            retryLater();
            return;
        }
    } else if (opened != kIOReturnSuccess) {
        os_log(OS_LOG_DEFAULT, "Could not open device (error: %x)\n", opened);
        fInterface.reset();
        setOpenStatus(OpenFailure{});
        return;
    } else {
        fOpened = true;
        if (!configure()) {
            setOpenStatus(OpenFailure{});
            return;
        }
    }
    addEventSource();
    setOpenStatus(OpenSuccess{});
}

void USBDevice::Impl::retryLater()
{
    os_log(OS_LOG_DEFAULT, "Retrying...\n");
    fRetryTimer = fDispatcher->postTimed(kRetryInterval, [this] { openDevice(0); });
}

bool USBDevice::Impl::configure()
{
    IOUSBDeviceInterface300** device = fInterface.get();
    IOUSBConfigurationDescriptorPtr descriptor = nullptr;
    if ((*device)->GetConfigurationDescriptorPtr(device, 0, &descriptor) != kIOReturnSuccess ||
        descriptor == nullptr)
        return false;
    UInt8 current = 0;
    (*device)->GetConfiguration(device, &current);
    if (current == descriptor->bConfigurationValue) {
        puts("Config already set");
    } else {
        os_log(OS_LOG_DEFAULT, "Setting Config\n");
        (*device)->SetConfiguration(device, descriptor->bConfigurationValue);
    }
    return true;
}

void USBDevice::Impl::addEventSource()
{
    IOUSBDeviceInterface300** device = fInterface.get();
    CFRunLoopSourceRef source = nullptr;
    if ((*device)->CreateDeviceAsyncEventSource(device, &source) != kIOReturnSuccess || source == nullptr)
        return;
    if (fEventSource != nullptr) {
        CFRunLoopSourceInvalidate(fEventSource);
        CFRelease(fEventSource);
    }
    fEventSource = source;
    CFRetain(fEventSource);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), fEventSource, kCFRunLoopDefaultMode);
}

void USBDevice::Impl::setOpenStatus(OpenStatus status)
{
    fStatus = status;
    auto callbacks = std::exchange(fOpenCallbacks, {});
    for (auto& callback : callbacks)
        callback(this, status);
}

bool USBDevice::Impl::controlTransfer(USBControlTransfer& transfer)
{
    if (!fInterface)
        return false;
    IOUSBDevRequest request{transfer.bmRequestType,
                            transfer.bRequest,
                            transfer.wValue,
                            transfer.wIndex,
                            transfer.wLength,
                            transfer.data,
                            0};
    IOUSBDeviceInterface300** device = fInterface.get();
    if ((*device)->DeviceRequest(device, &request) != kIOReturnSuccess)
        return false;
    transfer.transferred = request.wLenDone;
    return true;
}

std::shared_ptr<USBDeviceInterface> USBDevice::Impl::findInterface(unsigned short interfaceClass,
                                                                   unsigned short subClass,
                                                                   unsigned short protocol)
{
    if (!fInterface)
        return nullptr;
    IOUSBDeviceInterface300** device = fInterface.get();
    IOUSBFindInterfaceRequest request{interfaceClass, subClass, protocol, 0};
    io_iterator_t iterator = 0;
    if ((*device)->CreateInterfaceIterator(device, &request, &iterator) != kIOReturnSuccess)
        return nullptr;
    os_log(OS_LOG_DEFAULT, "Created interface iterator\n");
    const io_service_t service = IOIteratorNext(iterator);
    IOObjectRelease(iterator);
    if (service == 0)
        return nullptr;
    os_log(OS_LOG_DEFAULT, "Service exists\n");
    IOCFPlugInInterface** plugIn = nullptr;
    SInt32 score = 0;
    const kern_return_t created = IOCreatePlugInInterfaceForService(service, kIOUSBInterfaceUserClientTypeID,
                                                                    kIOCFPlugInInterfaceID, &plugIn, &score);
    IOObjectRelease(service);
    if (created != kIOReturnSuccess || plugIn == nullptr)
        return nullptr;
    IOUSBInterfaceInterface300** queried = nullptr;
    (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOUSBInterfaceInterfaceID300),
                              reinterpret_cast<LPVOID*>(&queried));
    IODestroyPlugInInterface(plugIn);
    if (queried == nullptr)
        return nullptr;
    auto interface = std::make_shared<USBDeviceInterface>();
    if (!interface->impl()->open(fUSBDispatcher, vork::IOCFComPtr<IOUSBInterfaceInterface300>(queried)))
        return nullptr;
    fInterfaces.push_back(interface);
    return interface;
}

std::vector<uint8_t> USBDevice::Impl::getDeviceDescriptor()
{
    std::vector<uint8_t> descriptor(kDeviceDescriptorLength, 0);
    USBControlTransfer transfer{0x80, kGetDescriptor, 0x0100, 0, kDeviceDescriptorLength, descriptor.data(),
                                0};
    if (!controlTransfer(transfer))
        std::fill(descriptor.begin(), descriptor.end(), 0);
    return descriptor;
}

std::string USBDevice::Impl::getStringDescriptor(uint8_t index)
{
    const uint16_t value = uint16_t(0x0300 + index);
    uint8_t length = 0;
    USBControlTransfer probe{0x80, kGetDescriptor, value, kEnglish, 1, &length, 0};
    if (!controlTransfer(probe) || length == 0)
        return {};
    std::vector<uint8_t> descriptor(length, 0);
    USBControlTransfer full{0x80, kGetDescriptor, value, kEnglish, length, descriptor.data(), 0};
    if (!controlTransfer(full))
        return {};
    std::string text;
    const size_t characters = length < 2 ? 0 : length / 2 - 1;
    for (size_t i = 0; i < characters; ++i)
        text += char(descriptor[2 + 2 * i]);
    return text;
}
