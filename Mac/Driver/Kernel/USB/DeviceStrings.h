#pragma once

// Text from USB string descriptors, converted from no more UTF-16 units than the descriptor holds
// and the device returned.

#include <IOKit/usb/StandardUSB.h>

#include <cstddef>
#include <cstdint>

namespace DeviceStrings {

// UTF-8 of at most `maxCharacters` characters into `text` (room for `capacity` bytes with the NUL),
// ASCII upper case lowered when `lower`. Empty for a null descriptor or one of 2 bytes or less.
void Convert(const StandardUSB::StringDescriptor* descriptor, uint32_t bytesReturned, char* text,
             size_t capacity, size_t maxCharacters, bool lower);

} // namespace DeviceStrings
