#pragma once

// The running Wrenlet's replies as the updater reads them, whatever the device sent: the serial
// number's string descriptor and the version texts.

#include <cstddef>
#include <cstdint>
#include <string>

namespace DeviceReplies {

// The low byte of each UTF-16 unit, upper-cased, from the bytes returned only; empty unless it is a
// string descriptor (type 3) with bLength of at least 2.
std::string SerialFromDescriptor(const uint8_t* bytes, size_t returned);

// The text of a version reply: up to its NUL or the bytes transferred, at most 16 characters.
std::string VersionText(const uint8_t* reply, size_t transferred);

} // namespace DeviceReplies
