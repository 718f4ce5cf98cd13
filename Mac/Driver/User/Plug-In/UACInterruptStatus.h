#pragma once

// The device's interrupt-IN status messages (UAC2 interrupt data messages of 6 bytes): whether one
// announces a change of the device's clock, after which the device re-reads its rate.

#include "KorvanDeviceIO.h"

#include <cstdint>

// Logs the message and answers whether it is a CUR change of a clock source or clock selector of
// `descriptors` (null when none were saved). Malformed, vendor and endpoint messages change nothing;
// a vendor message is logged only the first time in the process's life.
bool IsClockChangeMessage(const uint8_t* data, uint32_t length,
                          const KorvanDeviceIO::USBDescriptors* descriptors);
