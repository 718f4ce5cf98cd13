#pragma once

// The USB identities of the maker's devices, compiled into every program that looks for them.

#include <cstdint>

namespace KorvanDeviceIdentities {

constexpr uint16_t kVendorID = 0x3A1C;

constexpr uint16_t kWrenletProductID = 12;
constexpr uint16_t kPyxProductID = 14;
constexpr uint16_t kPyxRecoveryProductID = 15;

// The Wrenlet's boot loader enumerates under the microcontroller maker's identity.
constexpr uint16_t kBootLoaderVendorID = 0x03EB;
constexpr uint16_t kBootLoaderProductID = 0x6124;

} // namespace KorvanDeviceIdentities
