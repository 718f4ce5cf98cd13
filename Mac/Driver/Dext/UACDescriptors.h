#pragma once

// Walks over a configuration's descriptors and string reading, written over the bytes alone so that
// they run without a bus. Every walk goes through the platform's walks, which stop at a descriptor
// shorter than 2 bytes and at wTotalLength; a descriptor counts only when it holds all its fields.

#include <DriverKit/OSArray.h>
#include <USBDriverKit/USBTypes.h>

#include <KorvanDeviceIO.h>

#include <cstddef>
#include <cstdint>

constexpr uint8_t kCSInterfaceDescriptorType = 0x24;
constexpr uint8_t kASGeneralSubtype = 1;
constexpr uint8_t kInputTerminalSubtype = 2;
constexpr uint8_t kOutputTerminalSubtype = 3;

constexpr size_t kStringDescriptorBytes = 256;

// Where string descriptors come from: the device, or bytes in a test.
class StringDescriptorReader
{
public:
    virtual ~StringDescriptorReader() = default;
    // Fills `descriptor` with the descriptor at `index` as the device gave it; false when it has none.
    virtual bool read(uint8_t index, uint8_t (&descriptor)[kStringDescriptorBytes]) = 0;
};

// The string at `index` as UTF-8 in `text`, always terminated within `textSize`; false, leaving it
// empty, when the device has no such string or it holds no character.
bool GetStringDescriptor(StringDescriptorReader& reader, uint8_t index, char* text, size_t textSize);

// The first endpoint of `interface` of this type and direction carrying at least 5 bytes.
const IOUSBEndpointDescriptor* FindEndpoint(const IOUSBConfigurationDescriptor* configuration,
                                            const IOUSBInterfaceDescriptor* interface, uint8_t type,
                                            uint8_t direction);

// The whole configuration, descriptor by descriptor, into at most 2047 bytes.
IOReturn CopyConfigurationDescriptors(const IOUSBConfigurationDescriptor* configuration,
                                      KorvanDeviceIO::USBDescriptors* descriptors);

bool IsAudioStreamingInterface(const IOUSBInterfaceDescriptor* interface);

// The channel names of a streaming interface's alternate, from the terminal its AS_GENERAL links to:
// an array of OSString, possibly empty; null on failure.
OSArray* CopyChannelNames(const IOUSBConfigurationDescriptor* configuration, StringDescriptorReader& reader,
                          uint8_t interfaceNumber, uint8_t alternateSetting, bool input);

// Copies at most 31 bytes of `name` into the 32-byte entry, never cutting a UTF-8 sequence.
void WriteChannelName(char (&entry)[KorvanDeviceIO::kNameFieldBytes], const char* name);
