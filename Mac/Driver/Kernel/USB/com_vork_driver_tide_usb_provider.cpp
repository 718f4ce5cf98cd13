#include "com_vork_driver_tide_usb_provider.h"

#include "ChannelNameWalk.h"
#include "ConfigurationCopy.h"
#include "DeviceStrings.h"
#include "com_vork_driver_tide_control_interface.h"
#include "com_vork_driver_tide_usb_io_stream.h"
#include "com_vork_driver_tide_userClient.h"

#include <IOKit/IOLib.h>

#include <cstring>

OSDefineMetaClassAndStructors(com_vork_driver_tide_usb_provider, com_vork_driver_tide_provider)

    using namespace KorvanDeviceIO;

namespace {

constexpr const char* kSourceFile = "Kernel/USB/USBProvider";
constexpr uint16_t kEnglish = 0x0409;
constexpr uint32_t kControlTimeoutMs = 500;
constexpr size_t kMaxConfigurationBytes = 2047;

// Copies UTF-8 text into a field of `capacity` bytes, cut before a character that does not fit,
// with its NUL.
void copyText(char* field, const char* text, size_t capacity)
{
    size_t length = strnlen(text, capacity - 1);
    if (text[length] != 0) {
        while (length > 0 && (uint8_t(text[length]) & 0xC0) == 0x80) {
            --length;
        }
    }
    std::memcpy(field, text, length);
    field[length] = 0;
}

const StandardUSB::StringDescriptor* deviceString(void* context, uint8_t index, uint32_t* bytesReturned)
{
    return static_cast<IOUSBHostDevice*>(context)->getStringDescriptor(index, kEnglish, bytesReturned);
}

} // namespace

com_vork_driver_tide_usb_provider*
com_vork_driver_tide_usb_provider::CreateUSBProvider(IOUSBHostInterface* interface,
                                                     com_vork_driver_tide_control_interface* control)
{
    auto* provider = new com_vork_driver_tide_usb_provider;
    if (provider->init(interface, control) != kIOReturnSuccess) {
        provider->Stop();
        provider->release();
        return nullptr;
    }
    return provider;
}

IOReturn com_vork_driver_tide_usb_provider::init(IOUSBHostInterface* interface,
                                                 com_vork_driver_tide_control_interface* control)
{
    IOLog("USBProvider::init\n");
    if (!interface || !control || !OSObject::init()) {
        return kIOReturnBadArgument;
    }
    fControl = control;
    fInterface = interface;
    fDevice = interface->getDevice();
    fConfiguration = interface->getConfigurationDescriptor();
    if (!fDevice || !fConfiguration) {
        return kIOReturnNoMemory;
    }
    fBusWorkLoop = interface->getWorkLoop();
    if (!fBusWorkLoop) {
        IOLog("VORK Korvan Driver: Couldn't load.  File %s, line %d\n", kSourceFile, __LINE__);
        return kIOReturnError;
    }
    ReadIdentity(fDevice);
    IOLog("USBProvider UID %s\n", fUID);
    IOLog("USBProvider Product %s\n", fProductName);
    const IOReturn reads = StartInterruptReads();
    if (reads != kIOReturnSuccess) {
        return reads;
    }
    fStream = com_vork_driver_tide_usb_io_stream::Create(fBusWorkLoop);
    return fStream ? kIOReturnSuccess : kIOReturnNoMemory;
}

void com_vork_driver_tide_usb_provider::ReadIdentity(IOUSBHostDevice* device)
{
    const StandardUSB::DeviceDescriptor* descriptor = device->getDeviceDescriptor();
    if (!descriptor) {
        return;
    }
    fDeviceRelease = descriptor->bcdDevice;
    fProductID = descriptor->idProduct;
    uint32_t bytes = 0;
    const StandardUSB::StringDescriptor* serial =
        descriptor->iSerialNumber ? device->getStringDescriptor(descriptor->iSerialNumber, kEnglish, &bytes)
                                  : nullptr;
    DeviceStrings::Convert(serial, bytes, fUID, sizeof(fUID), sizeof(fUID) - 1, true);
    const StandardUSB::StringDescriptor* product =
        descriptor->iProduct ? device->getStringDescriptor(descriptor->iProduct, kEnglish, &bytes) : nullptr;
    DeviceStrings::Convert(product, bytes, fProductName, sizeof(fProductName), sizeof(fProductName) - 1,
                           false);
}

IOReturn com_vork_driver_tide_usb_provider::StartInterruptReads()
{
    const StandardUSB::InterfaceDescriptor* interface = fInterface->getInterfaceDescriptor();
    const StandardUSB::EndpointDescriptor* found = nullptr;
    for (const auto* endpoint = StandardUSB::getNextEndpointDescriptor(fConfiguration, interface, nullptr);
         interface && endpoint && !found;
         endpoint = StandardUSB::getNextEndpointDescriptor(
             fConfiguration, interface, reinterpret_cast<const StandardUSB::Descriptor*>(endpoint))) {
        if (StandardUSB::getEndpointType(endpoint) != StandardUSB::kEndpointTypeInterrupt ||
            StandardUSB::getEndpointDirection(endpoint) != StandardUSB::kEndpointDirectionIn) {
            continue;
        }
        const uint32_t maxPacket = StandardUSB::getEndpointMaxPacketSize(endpoint);
        IOLog("examining maxPacketSize %d (ep %02x)\n", int(maxPacket), endpoint->bEndpointAddress);
        if (maxPacket > 4) {
            found = endpoint;
        }
    }
    if (!found) {
        IOLog("fUACInterface NO PIPE\n");
        return kIOReturnSuccess;
    }
    fInterruptMaxPacket = StandardUSB::getEndpointMaxPacketSize(found);
    IOLog("Got Control interrupt IN pipe maxPacketSize %d\n", int(fInterruptMaxPacket));
    fInterruptPipe = fInterface->copyPipe(found->bEndpointAddress);
    if (!fInterruptPipe) {
        return kIOReturnNoResources;
    }
    for (InterruptRead& read : fReads) {
        read.fBuffer = IOBufferMemoryDescriptor::inTaskWithPhysicalMask(current_task(), kIODirectionIn,
                                                                        fInterruptMaxPacket, 0xFFFFF000);
        if (!read.fBuffer) {
            return kIOReturnNoMemory;
        }
        read.fProvider = this;
        read.fCompletion = {this, &InterruptCompleted, &read};
        const IOReturn result = QueueInterruptRead(read);
        if (result != kIOReturnSuccess) {
            return result;
        }
    }
    return kIOReturnSuccess;
}

IOReturn com_vork_driver_tide_usb_provider::QueueInterruptRead(InterruptRead& read)
{
    // Each queued read holds the provider until its completion, aborted ones included.
    retain();
    const IOReturn result = fInterruptPipe->io(read.fBuffer, fInterruptMaxPacket, &read.fCompletion, 0);
    if (result != kIOReturnSuccess) {
        release();
    }
    return result;
}

void com_vork_driver_tide_usb_provider::InterruptCompleted(void*, void* parameter, IOReturn status,
                                                           uint32_t bytesTransferred)
{
    auto* read = static_cast<InterruptRead*>(parameter);
    com_vork_driver_tide_usb_provider* self = read ? read->fProvider : nullptr;
    if (!self) {
        return;
    }
    if (status == kIOReturnSuccess && !self->fStopped && self->fInterruptPipe) {
        // The message leaves the buffer before the buffer goes back to the pipe.
        uint8_t message[StandardUSB::kMaxBytesPerMicroframe];
        const uint32_t length =
            bytesTransferred < sizeof(message) ? bytesTransferred : uint32_t(sizeof(message));
        std::memcpy(message, read->fBuffer->getBytesNoCopy(), length);
        const IOReturn requeued = self->QueueInterruptRead(*read);
        if (requeued != kIOReturnSuccess) {
            IOLog("UAC IN IO ERR %08x\n", unsigned(requeued));
        }
        self->fControl->NotifyUserClient(com_vork_driver_tide_userClient::kAudioClientType,
                                         kNotificationInterruptStatus, message, length);
    }
    self->release();
}

void com_vork_driver_tide_usb_provider::ReleaseInterruptPipe()
{
    if (fInterruptPipe) {
        fInterruptPipe->abort(0, kIOReturnAborted, nullptr);
        OSSafeReleaseNULL(fInterruptPipe);
    }
    for (InterruptRead& read : fReads) {
        OSSafeReleaseNULL(read.fBuffer);
    }
}

void com_vork_driver_tide_usb_provider::Stop()
{
    IOLog("USBProvider::Stop\n");
    fStopped = true;
    StopAudioDMA();
    HardwareStop();
    ReleaseInterruptPipe();
    fInterface = nullptr;
    fDevice = nullptr;
    fConfiguration = nullptr;
}

void com_vork_driver_tide_usb_provider::free()
{
    ReleaseInterruptPipe();
    OSSafeReleaseNULL(fStream);
    com_vork_driver_tide_provider::free();
}

IOMemoryDescriptor* com_vork_driver_tide_usb_provider::GetBufferDesc(int memoryType)
{
    return fStream ? fStream->GetBuffer(memoryType) : nullptr;
}

bool com_vork_driver_tide_usb_provider::OpenStreamingInterface(uint8_t number, uint8_t alternate, bool input,
                                                               IOUSBHostInterface** interface,
                                                               IOUSBHostPipe** pipe)
{
    OSIterator* children = fDevice->getChildIterator(gIOServicePlane);
    while (OSObject* child = children ? children->getNextObject() : nullptr) {
        auto* candidate = OSDynamicCast(IOUSBHostInterface, child);
        const StandardUSB::InterfaceDescriptor* descriptor =
            candidate ? candidate->getInterfaceDescriptor() : nullptr;
        if (!descriptor || descriptor->bInterfaceClass != 1 || descriptor->bInterfaceSubClass != 2 ||
            descriptor->bInterfaceProtocol != 0x20 || descriptor->bInterfaceNumber != number) {
            continue;
        }
        if (!candidate->open(fControl) || candidate->selectAlternateSetting(alternate) != kIOReturnSuccess) {
            candidate->close(fControl);
            continue;
        }
        IOLog(input ? "opened in interface\n" : "opened out interface\n");
        candidate->retain();
        *interface = candidate;
        const StandardUSB::InterfaceDescriptor* current = candidate->getInterfaceDescriptor();
        for (const auto* endpoint = StandardUSB::getNextEndpointDescriptor(fConfiguration, current, nullptr);
             current && endpoint && !*pipe;
             endpoint = StandardUSB::getNextEndpointDescriptor(
                 fConfiguration, current, reinterpret_cast<const StandardUSB::Descriptor*>(endpoint))) {
            const auto direction =
                input ? StandardUSB::kEndpointDirectionIn : StandardUSB::kEndpointDirectionOut;
            if (StandardUSB::getEndpointType(endpoint) == StandardUSB::kEndpointTypeIsochronous &&
                StandardUSB::getEndpointDirection(endpoint) == direction &&
                StandardUSB::getEndpointMaxPacketSize(endpoint) > 4) {
                *pipe = candidate->copyPipe(endpoint->bEndpointAddress);
            }
        }
        if (*pipe) {
            IOLog(input ? "got in isoc pipe\n" : "got out isoc pipe\n");
        } else {
            CloseStreamingInterface(*interface, nullptr);
        }
        break;
    }
    OSSafeReleaseNULL(children);
    return *pipe != nullptr;
}

void com_vork_driver_tide_usb_provider::CloseStreamingInterface(IOUSBHostInterface*& interface,
                                                                const char* direction)
{
    if (!interface) {
        return;
    }
    if (direction) {
        IOLog("Setting uac isoc %s alternate to 0 \n", direction);
    }
    interface->selectAlternateSetting(0);
    interface->close(fControl);
    OSSafeReleaseNULL(interface);
}

IOReturn com_vork_driver_tide_usb_provider::StartAudioDMA(uint32_t inInterfaceNum, uint32_t inAlt,
                                                          uint32_t inBytesPerFrame, uint32_t outInterfaceNum,
                                                          uint32_t outAlt, uint32_t outBytesPerFrame)
{
    IOLog("Preparing Audio DMA %d %d %d %d %d %d\n", int(inInterfaceNum), int(inAlt), int(inBytesPerFrame),
          int(outInterfaceNum), int(outAlt), int(outBytesPerFrame));
    // Whole sample frames are counted by dividing by these.
    if (inBytesPerFrame == 0 || outBytesPerFrame == 0) {
        return kIOReturnBadArgument;
    }
    if (fAudioStarted || !fStream || !fDevice || fInStreamInterface || fOutStreamInterface) {
        return kIOReturnError;
    }
    IOLog("GetUACAudioInterfacesAndIsocPipes %d %d, %d %d\n", int(inInterfaceNum), int(inAlt),
          int(outInterfaceNum), int(outAlt));
    IOUSBHostPipe* inPipe = nullptr;
    IOUSBHostPipe* outPipe = nullptr;
    const bool opened =
        OpenStreamingInterface(uint8_t(inInterfaceNum), uint8_t(inAlt), true, &fInStreamInterface, &inPipe) &&
        OpenStreamingInterface(uint8_t(outInterfaceNum), uint8_t(outAlt), false, &fOutStreamInterface,
                               &outPipe);
    bool started = false;
    if (opened) {
        IOLog("opened UAC isoc interfaces and pipes\n");
        started =
            fStream->Start(this, fInStreamInterface, inPipe, inBytesPerFrame, outPipe, outBytesPerFrame);
    }
    OSSafeReleaseNULL(inPipe);
    OSSafeReleaseNULL(outPipe);
    if (!started) {
        // Released at once, so the next correct start finds them free.
        fStream->Abort();
        CloseStreamingInterface(fInStreamInterface, "in");
        CloseStreamingInterface(fOutStreamInterface, "out");
        return kIOReturnError;
    }
    SetMaxBusStall(1);
    fAudioStarted = true;
    IOLog("succesfully set alternate and opened isoc pipes, isoc is running\n");
    return kIOReturnSuccess;
}

IOReturn com_vork_driver_tide_usb_provider::StopAudioDMA()
{
    if (!fAudioStarted || !fStream) {
        return kIOReturnSuccess;
    }
    IOLog("Stopping Audio DMA\n");
    SetMaxBusStall(0);
    fAudioStarted = false;
    fStream->Abort();
    CloseStreamingInterface(fInStreamInterface, "in");
    CloseStreamingInterface(fOutStreamInterface, "out");
    return kIOReturnSuccess;
}

IOReturn com_vork_driver_tide_usb_provider::GetDeviceInfo(DeviceInfoRequest* info)
{
    if (!info) {
        return kIOReturnBadArgument;
    }
    std::memset(info, 0, sizeof(*info));
    copyText(info->fUID, fUID, sizeof(fUID));
    copyText(info->fProductName, fProductName, sizeof(info->fProductName));
    info->fDeviceRelease = fDeviceRelease;
    info->fReserved = 0;
    info->fProductID = fProductID;
    return kIOReturnSuccess;
}

IOReturn com_vork_driver_tide_usb_provider::ControlRequest(StandardUSB::DeviceRequest& request, void* data,
                                                           USBControlResponse* response)
{
    uint32_t transferred = 0;
    const IOReturn result =
        fInterface->deviceRequest(fControl, request, data, transferred, kControlTimeoutMs);
    response->fLength = result == kIOReturnSuccess
                            ? uint8_t(transferred < kControlDataBytes ? transferred : kControlDataBytes)
                            : 0;
    return result;
}

IOReturn com_vork_driver_tide_usb_provider::SendUACControlRequest(const USBUACControlRequest* request,
                                                                  USBControlResponse* response)
{
    if (!request || !response) {
        return kIOReturnBadArgument;
    }
    if (!fInterface) {
        return kIOReturnNoDevice;
    }
    // The data phase lies in the 16 data bytes of the request or the response, never beyond.
    if (request->fLength > kControlDataBytes) {
        return kIOReturnBadArgument;
    }
    uint8_t data[kControlDataBytes];
    std::memcpy(data, request->fData, sizeof(data));
    StandardUSB::DeviceRequest setup{uint8_t(request->fSet ? 0x21 : 0xA1), 1,
                                     uint16_t(request->fControlSelector << 8),
                                     uint16_t(request->fEntityID << 8), request->fLength};
    const IOReturn result = ControlRequest(setup, request->fSet ? data : response->fData, response);
    return result;
}

IOReturn com_vork_driver_tide_usb_provider::SendVendorControlRequest(const USBVendorControlRequest* request,
                                                                     USBControlResponse* response)
{
    if (!request || !response) {
        return kIOReturnBadArgument;
    }
    if (!fInterface) {
        return kIOReturnNoDevice;
    }
    if (request->fType >= std::size(kVendorRequestTypes) || request->fLength > kControlDataBytes) {
        return kIOReturnBadArgument;
    }
    uint8_t data[kControlDataBytes];
    std::memcpy(data, request->fData, sizeof(data));
    const bool sends = request->fType % 2 == 0;
    StandardUSB::DeviceRequest setup{kVendorRequestTypes[request->fType], uint8_t(request->fRequest),
                                     uint16_t(request->fValue), uint16_t(request->fIndex),
                                     uint16_t(request->fLength)};
    return ControlRequest(setup, sends ? data : response->fData, response);
}

IOReturn com_vork_driver_tide_usb_provider::GetUSBConfig1Descriptors(USBDescriptors* descriptors)
{
    if (!descriptors) {
        return kIOReturnBadArgument;
    }
    if (!fConfiguration) {
        return kIOReturnNoDevice;
    }
    uint32_t length = 0;
    const IOReturn result =
        ConfigurationCopy::Copy(fConfiguration, descriptors->fData, kMaxConfigurationBytes, &length);
    if (result == kIOReturnSuccess) {
        descriptors->fLength = length;
    }
    return result;
}

int com_vork_driver_tide_usb_provider::ChannelNames(uint8_t interfaceNumber, uint8_t alternate, bool input,
                                                    char (*names)[kNameFieldBytes])
{
    return ChannelNameWalk::Names(fConfiguration, interfaceNumber, alternate, input, &deviceString, fDevice,
                                  names);
}

IOReturn com_vork_driver_tide_usb_provider::GetChannelNames(const ChannelNamesRequest* request,
                                                            ChannelNamesResponse* response)
{
    if (!request || !response) {
        return kIOReturnBadArgument;
    }
    if (!fConfiguration || !fDevice) {
        return kIOReturnNoDevice;
    }
    fBusWorkLoop->closeGate();
    std::memset(response, 0, sizeof(*response));
    const bool found =
        ChannelNames(request->fInInterfaceNum, request->fInAlt, true, response->fInNames) >= 0 &&
        ChannelNames(request->fOutInterfaceNum, request->fOutAlt, false, response->fOutNames) >= 0;
    fBusWorkLoop->openGate();
    return found ? kIOReturnSuccess : kIOReturnError;
}

bool com_vork_driver_tide_usb_provider::HardwareInit()
{
    IOLog("USBProvider::HardwareInit\n");
    return true;
}

void com_vork_driver_tide_usb_provider::HardwareStop()
{
    IOLog("USBProvider::HardwareStop\n");
    StopAudioDMA();
}

void com_vork_driver_tide_usb_provider::SetMaxBusStall(uint32_t n)
{
    fControl->requireMaxBusStall(n);
    fControl->requireMaxInterruptDelay(n);
}

void com_vork_driver_tide_usb_provider::PostAudioEngineError(const void* data, uint32_t length)
{
    fBusWorkLoop->closeGate();
    fControl->NotifyUserClient(com_vork_driver_tide_userClient::kAudioClientType, kNotificationEngineError,
                               data, length);
    fBusWorkLoop->openGate();
}
