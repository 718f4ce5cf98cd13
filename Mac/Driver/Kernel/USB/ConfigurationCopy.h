#pragma once

// The descriptors of a configuration, one after another from the configuration descriptor on, as
// the client's descriptor request returns them.

#include <IOKit/usb/StandardUSB.h>

namespace ConfigurationCopy {

// kIOReturnNoMemory when the next descriptor would take the total past `capacity`; the bytes copied
// so far stay. A configuration descriptor whose bLength runs past the bytes the device gave is cut
// to its fixed fields.
IOReturn Copy(const StandardUSB::ConfigurationDescriptor* configuration, uint8_t* out, size_t capacity,
              uint32_t* length);

} // namespace ConfigurationCopy
