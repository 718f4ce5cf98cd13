#include <USBDeviceInterfaceImpl.h>

#include <algorithm>

USBDeviceInterface::USBDeviceInterface() : fImpl(std::make_unique<Impl>()) {}

USBDeviceInterface::~USBDeviceInterface() = default;

void USBDeviceInterface::close()
{
    fImpl->close();
}

bool USBDeviceInterface::readPipeAsync(unsigned char address, void* buffer, unsigned int length,
                                       ReadCompletion completion)
{
    return fImpl->readPipeAsync(address, buffer, length, completion);
}

uint8_t USBDeviceInterface::getInterfaceClass() const
{
    return fImpl->interfaceClass();
}

uint8_t USBDeviceInterface::getInterfaceSubClass() const
{
    return fImpl->interfaceSubClass();
}

uint8_t USBDeviceInterface::getInterfaceProtocol() const
{
    return fImpl->interfaceProtocol();
}

std::vector<USBPipeInfo> USBDeviceInterface::getInputPipes() const
{
    return fImpl->inputPipes();
}

std::vector<USBPipeInfo> USBDeviceInterface::getOutputPipes() const
{
    return fImpl->outputPipes();
}

USBDeviceInterface::Impl::~Impl()
{
    close();
    // Once the interface is closed no read completes, so what is still listed is dropped.
    fCallbacks.clear();
    fInputPipes.clear();
    fOutputPipes.clear();
    releaseEventSource();
    fInterface.reset();
    if (fDispatcher)
        fDispatcher->stop();
    fDispatcher.reset();
}

bool USBDeviceInterface::Impl::open(USBDispatcher& dispatcher,
                                    vork::IOCFComPtr<IOUSBInterfaceInterface300> interface)
{
    fUSBDispatcher = &dispatcher;
    fUSBDispatcher->postSync(
        [this] { fDispatcher = std::make_unique<OwnDispatcher>([](const auto& message) { message(); }); });
    IOUSBInterfaceInterface300** plugIn = interface.get();
    if (plugIn == nullptr || (*plugIn)->USBInterfaceOpen(plugIn) != kIOReturnSuccess ||
        (*plugIn)->GetInterfaceClass(plugIn, &fClass) != kIOReturnSuccess ||
        (*plugIn)->GetInterfaceSubClass(plugIn, &fSubClass) != kIOReturnSuccess ||
        (*plugIn)->GetInterfaceProtocol(plugIn, &fProtocol) != kIOReturnSuccess)
        return false;
    fInterface = std::move(interface);
    readPipes();
    releaseEventSource();
    CFRunLoopSourceRef source = nullptr;
    if ((*plugIn)->CreateInterfaceAsyncEventSource(plugIn, &source) == kIOReturnSuccess &&
        source != nullptr) {
        fEventSource = source;
        CFRetain(fEventSource);
        fEventLoop = CFRunLoopGetCurrent();
        CFRunLoopAddSource(fEventLoop, fEventSource, kCFRunLoopDefaultMode);
    }
    return true;
}

void USBDeviceInterface::Impl::readPipes()
{
    IOUSBInterfaceInterface300** plugIn = fInterface.get();
    UInt8 endpoints = 0;
    (*plugIn)->GetNumEndpoints(plugIn, &endpoints);
    for (UInt8 pipeRef = 1; pipeRef <= endpoints; ++pipeRef) {
        UInt8 direction = 0;
        UInt8 number = 0;
        UInt8 transferType = 0;
        UInt16 maxPacketSize = 0;
        UInt8 interval = 0;
        if ((*plugIn)->GetPipeProperties(plugIn, pipeRef, &direction, &number, &transferType, &maxPacketSize,
                                         &interval) != kIOReturnSuccess)
            continue;
        if (direction == kUSBIn)
            fInputPipes.push_back({uint8_t(number | 0x80), maxPacketSize, pipeRef});
        else
            fOutputPipes.push_back({number, maxPacketSize, pipeRef});
    }
}

void USBDeviceInterface::Impl::releaseEventSource()
{
    if (fEventSource == nullptr)
        return;
    CFRunLoopRemoveSource(fEventLoop, fEventSource, kCFRunLoopDefaultMode);
    CFRelease(fEventSource);
    fEventSource = nullptr;
    fEventLoop = nullptr;
}

void USBDeviceInterface::Impl::close()
{
    if (!fInterface)
        return;
    releaseEventSource();
    IOUSBInterfaceInterface300** plugIn = fInterface.get();
    (*plugIn)->USBInterfaceClose(plugIn);
    fInterface.reset();
}

bool USBDeviceInterface::Impl::readPipeAsync(unsigned char address, void* buffer, unsigned int length,
                                             ReadCompletion& completion)
{
    if (!fInterface || !fDispatcher)
        return false;
    const auto pipe = std::find_if(fInputPipes.begin(), fInputPipes.end(),
                                   [address](const MacUSBPipeInfo& info) { return info.address == address; });
    if (pipe == fInputPipes.end())
        return false;
    const uint8_t pipeRef = pipe->pipeRef;
    IOReturn queued = kIOReturnNotOpen;
    fDispatcher->postSync([this, pipeRef, buffer, length, &completion, &queued] {
        if (!fInterface)
            return;
        auto container = fCallbacks.emplace(fCallbacks.end(), this, completion);
        IOUSBInterfaceInterface300** plugIn = fInterface.get();
        queued = (*plugIn)->ReadPipeAsyncTO(plugIn, pipeRef, buffer, length, 0, 0, &ReadAsyncCallback,
                                            &*container);
        if (queued != kIOReturnSuccess)
            fCallbacks.erase(container);
    });
    return queued == kIOReturnSuccess;
}

USBDeviceInterface::ReadCompletion USBDeviceInterface::Impl::adopt(ReadCompletion& source)
{
    return std::visit([](auto& callable) { return ReadCompletion(std::move(callable)); }, source);
}

void USBDeviceInterface::Impl::ReadAsyncCallback(void* refCon, IOReturn result, void* arg0)
{
    auto* container = static_cast<CallbackContainer*>(refCon);
    Impl* owner = container->owner;
    container->completion(result == kIOReturnSuccess, unsigned(uintptr_t(arg0)));
    const auto done =
        std::find_if(owner->fCallbacks.begin(), owner->fCallbacks.end(),
                     [container](const CallbackContainer& listed) { return &listed == container; });
    if (done != owner->fCallbacks.end())
        owner->fCallbacks.erase(done);
}

std::vector<USBPipeInfo> USBDeviceInterface::Impl::publicForm(const std::vector<MacUSBPipeInfo>& pipes)
{
    std::vector<USBPipeInfo> result;
    for (const MacUSBPipeInfo& pipe : pipes)
        result.push_back({pipe.address, pipe.maxPacketSize});
    return result;
}
