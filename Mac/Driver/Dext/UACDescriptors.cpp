#include "UACDescriptors.h"

#include "DextReport.h"
#include "utf8_encodestr.h"

#include <DriverKit/OSString.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr uint8_t kMinimumStreamPacket = 5;
constexpr size_t kDescriptorLimit = 2047;
constexpr size_t kNameBufferBytes = 128;

constexpr uint8_t kAudioInterfaceClass = 1;
constexpr uint8_t kAudioStreamingSubclass = 2;
constexpr uint8_t kUAC2Protocol = 0x20;

// The UAC2 sizes a class-specific descriptor needs before its fields are read.
constexpr uint8_t kInputTerminalBytes = 17;
constexpr uint8_t kOutputTerminalBytes = 12;
constexpr uint8_t kASGeneralBytes = 16;
constexpr uint8_t kEndpointBytes = 7;

constexpr uint16_t kInputTerminalTypeForInput = 0x0602;
constexpr uint16_t kInputTerminalTypeForOutput = 0x0101;

const uint8_t* bytesOf(const IOUSBDescriptorHeader* header)
{
    return reinterpret_cast<const uint8_t*>(header);
}

bool isClassSpecific(const IOUSBDescriptorHeader* header, uint8_t subtype)
{
    if (header->bDescriptorType != kCSInterfaceDescriptorType || header->bLength < 3 ||
        bytesOf(header)[2] != subtype) {
        return false;
    }
    switch (subtype) {
    case kASGeneralSubtype:
        return header->bLength >= kASGeneralBytes;
    case kInputTerminalSubtype:
        return header->bLength >= kInputTerminalBytes;
    case kOutputTerminalSubtype:
        return header->bLength >= kOutputTerminalBytes;
    default:
        return false;
    }
}

// The first terminal of `subtype` with this ID, searching from the configuration's start.
const uint8_t* findTerminal(const IOUSBConfigurationDescriptor* configuration, uint8_t subtype,
                            uint8_t terminalID)
{
    for (const IOUSBDescriptorHeader* header =
             IOUSBGetNextDescriptorWithType(configuration, nullptr, kCSInterfaceDescriptorType);
         header != nullptr;
         header = IOUSBGetNextDescriptorWithType(configuration, header, kCSInterfaceDescriptorType)) {
        if (isClassSpecific(header, subtype) && bytesOf(header)[3] == terminalID) {
            return bytesOf(header);
        }
    }
    return nullptr;
}

const IOUSBInterfaceDescriptor* findInterface(const IOUSBConfigurationDescriptor* configuration,
                                              uint8_t interfaceNumber, uint8_t alternateSetting)
{
    for (const IOUSBInterfaceDescriptor* interface = IOUSBGetNextInterfaceDescriptor(configuration, nullptr);
         interface != nullptr;
         interface = IOUSBGetNextInterfaceDescriptor(
             configuration, reinterpret_cast<const IOUSBDescriptorHeader*>(interface))) {
        if (interface->bLength >= sizeof(IOUSBInterfaceDescriptor) &&
            interface->bInterfaceNumber == interfaceNumber &&
            interface->bAlternateSetting == alternateSetting) {
            return interface;
        }
    }
    return nullptr;
}

const uint8_t* findASGeneral(const IOUSBConfigurationDescriptor* configuration,
                             const IOUSBInterfaceDescriptor* interface)
{
    const auto* parent = reinterpret_cast<const IOUSBDescriptorHeader*>(interface);
    for (const IOUSBDescriptorHeader* header =
             IOUSBGetNextAssociatedDescriptor(configuration, parent, nullptr);
         header != nullptr; header = IOUSBGetNextAssociatedDescriptor(configuration, parent, header)) {
        DextAssert(header->bDescriptorType == kCSInterfaceDescriptorType,
                   "acdh->bDescriptorType == CS_INTERFACE_descriptorType");
        if (isClassSpecific(header, kASGeneralSubtype)) {
            return bytesOf(header);
        }
    }
    return nullptr;
}

} // namespace

bool GetStringDescriptor(StringDescriptorReader& reader, uint8_t index, char* text, size_t textSize)
{
    if (textSize == 0) {
        return false;
    }
    text[0] = 0;
    uint8_t descriptor[kStringDescriptorBytes] = {};
    const bool found = reader.read(index, descriptor);
    if (!found || descriptor[0] < 3) {
        DextLog("GetStringDescriptor - return false - stringDescriptor.get() == %p",
                found ? static_cast<void*>(descriptor) : nullptr);
        return false;
    }
    uint16_t units[kStringDescriptorBytes / 2];
    const size_t unitBytes = (descriptor[0] - 2u) & ~size_t(1);
    std::memcpy(units, descriptor + 2, unitBytes);
    size_t written = 0;
    // One byte stays free for the terminator, which the encoder is told not to write.
    utf8_encodestr(units, unitBytes, reinterpret_cast<uint8_t*>(text), &written, textSize - 1, 0,
                   UTF_NO_NULL_TERM);
    text[written] = 0;
    return true;
}

const IOUSBEndpointDescriptor* FindEndpoint(const IOUSBConfigurationDescriptor* configuration,
                                            const IOUSBInterfaceDescriptor* interface, uint8_t type,
                                            uint8_t direction)
{
    if (configuration == nullptr || interface == nullptr) {
        return nullptr;
    }
    for (const IOUSBEndpointDescriptor* endpoint =
             IOUSBGetNextEndpointDescriptor(configuration, interface, nullptr);
         endpoint != nullptr;
         endpoint = IOUSBGetNextEndpointDescriptor(
             configuration, interface, reinterpret_cast<const IOUSBDescriptorHeader*>(endpoint))) {
        if (endpoint->bLength < kEndpointBytes || IOUSBGetEndpointType(endpoint) != type ||
            IOUSBGetEndpointDirection(endpoint) != direction) {
            continue;
        }
        const uint32_t maxPacketSize = IOUSBGetEndpointMaxPacketSize(endpoint);
        DextLog("examining maxPacketSize %d (ep %02x)\n", maxPacketSize, endpoint->bEndpointAddress);
        if (maxPacketSize >= kMinimumStreamPacket) {
            return endpoint;
        }
    }
    return nullptr;
}

IOReturn CopyConfigurationDescriptors(const IOUSBConfigurationDescriptor* configuration,
                                      KorvanDeviceIO::USBDescriptors* descriptors)
{
    size_t total = 0;
    auto append = [&](const IOUSBDescriptorHeader* header) {
        if (total + header->bLength > kDescriptorLimit) {
            return false;
        }
        std::memcpy(descriptors->fData + total, header, header->bLength);
        total += header->bLength;
        return true;
    };
    if (configuration != nullptr) {
        // The configuration descriptor's own bytes are known to be there up to the next descriptor
        // the walk finds, else as far as its fixed fields.
        const auto* start = reinterpret_cast<const uint8_t*>(configuration);
        const IOUSBDescriptorHeader* first = IOUSBGetNextDescriptor(configuration, nullptr);
        const size_t ownBytes =
            first != nullptr ? size_t(reinterpret_cast<const uint8_t*>(first) - start)
                             : std::min<size_t>(configuration->bLength, sizeof(IOUSBConfigurationDescriptor));
        if (ownBytes > kDescriptorLimit) {
            return kIOReturnNoMemory;
        }
        std::memcpy(descriptors->fData, start, ownBytes);
        total = ownBytes;
        for (const IOUSBDescriptorHeader* header = first; header != nullptr;
             header = IOUSBGetNextDescriptor(configuration, header)) {
            if (!append(header)) {
                return kIOReturnNoMemory;
            }
        }
    }
    descriptors->fLength = static_cast<uint32_t>(total);
    return kIOReturnSuccess;
}

bool IsAudioStreamingInterface(const IOUSBInterfaceDescriptor* interface)
{
    return interface != nullptr && interface->bLength >= sizeof(IOUSBInterfaceDescriptor) &&
           interface->bInterfaceClass == kAudioInterfaceClass &&
           interface->bInterfaceSubClass == kAudioStreamingSubclass &&
           interface->bInterfaceProtocol == kUAC2Protocol;
}

OSArray* CopyChannelNames(const IOUSBConfigurationDescriptor* configuration, StringDescriptorReader& reader,
                          uint8_t interfaceNumber, uint8_t alternateSetting, bool input)
{
    if (configuration == nullptr) {
        ReportBooleanError("cfd.get()");
        return nullptr;
    }
    const IOUSBInterfaceDescriptor* ifd = findInterface(configuration, interfaceNumber, alternateSetting);
    if (ifd == nullptr) {
        ReportBooleanError("ifd");
        return nullptr;
    }
    const uint8_t* general = findASGeneral(configuration, ifd);
    if (general == nullptr) {
        return nullptr;
    }
    const uint8_t terminalLink = general[3];
    const uint8_t* itd = findTerminal(configuration, kInputTerminalSubtype, terminalLink);
    const uint8_t* otd = findTerminal(configuration, kOutputTerminalSubtype, terminalLink);
    // The first terminal with the link's ID in configuration order decides.
    if (otd != nullptr && (itd == nullptr || otd < itd)) {
        const uint16_t wanted = input ? kInputTerminalTypeForInput : kInputTerminalTypeForOutput;
        itd = nullptr;
        for (const IOUSBDescriptorHeader* header =
                 IOUSBGetNextDescriptorWithType(configuration, nullptr, kCSInterfaceDescriptorType);
             header != nullptr && itd == nullptr;
             header = IOUSBGetNextDescriptorWithType(configuration, header, kCSInterfaceDescriptorType)) {
            const uint8_t* bytes = bytesOf(header);
            if (isClassSpecific(header, kInputTerminalSubtype) && bytes[3] == otd[7] &&
                uint16_t(bytes[4] | bytes[5] << 8) == wanted) {
                itd = bytes;
            }
        }
        if (itd == nullptr) {
            ReportBooleanError("itd");
            return nullptr;
        }
    } else if (itd == nullptr) {
        return nullptr;
    }
    const uint8_t numChannels = general[10];
    if (numChannels > itd[8]) {
        IOLog("Assertion failed (numChannels <= itd->bNrChannels) %s", DEXT_WHERE);
        return nullptr;
    }
    OSArray* names = OSArray::withCapacity(numChannels);
    if (names == nullptr) {
        return nullptr;
    }
    for (uint32_t i = 0; i < numChannels; ++i) {
        const uint8_t stringIndex = static_cast<uint8_t>(itd[13] + i);
        char buf[kNameBufferBytes] = {};
        if (!GetStringDescriptor(reader, stringIndex, buf, sizeof(buf))) {
            ReportBooleanError("GetStringDescriptor(dev, stringIndex, buf, kBufSize)");
            names->release();
            return nullptr;
        }
        OSString* nameStr = OSString::withCString(buf);
        if (nameStr == nullptr) {
            ReportBooleanError("nameStr.get()");
            names->release();
            return nullptr;
        }
        names->setObject(nameStr);
        nameStr->release();
    }
    return names;
}

void WriteChannelName(char (&entry)[KorvanDeviceIO::kNameFieldBytes], const char* name)
{
    size_t length = std::strlen(name);
    if (length > KorvanDeviceIO::kNameFieldBytes - 1) {
        length = KorvanDeviceIO::kNameFieldBytes - 1;
        // Back off to the start of a sequence when the cut lands inside one.
        while (length > 0 && (static_cast<uint8_t>(name[length]) & 0xC0) == 0x80) {
            --length;
        }
    }
    std::memset(entry, 0, sizeof(entry));
    std::memcpy(entry, name, length);
}
