#pragma once

// The channel names of a streaming interface's alternate setting: its AS_GENERAL descriptor names
// the terminal and the channel count, the terminal (or the input terminal an output terminal is fed
// by) the first string of the names. A descriptor counts only when its bLength covers the fields
// read.

#include <IOKit/usb/StandardUSB.h>

#include <KorvanDeviceIO.h>

namespace ChannelNameWalk {

// The string descriptor of an index in language 0x0409 and the bytes the device returned; null when
// there is none.
using StringSource = const StandardUSB::StringDescriptor* (*)(void* context, uint8_t index,
                                                              uint32_t* bytesReturned);

// Fills up to kMaxDMAChannels entries (each zero-filled, then at most 31 characters); the count, or
// -1 when the walk fails or yields more names than entries.
int Names(const StandardUSB::ConfigurationDescriptor* configuration, uint8_t interfaceNumber,
          uint8_t alternate, bool input, StringSource strings, void* context,
          char (*names)[KorvanDeviceIO::kNameFieldBytes]);

} // namespace ChannelNameWalk
