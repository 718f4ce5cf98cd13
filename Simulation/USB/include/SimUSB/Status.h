#pragma once

// Outcomes of transfers on the simulated bus. The values are those the host layers report, so a
// layer passes them on unchanged where its codes agree and translates only where they differ.

#include <cstdint>

namespace SimUSB {

using Status = uint32_t;

constexpr Status kSuccess = 0;
constexpr Status kNoDevice = 0xE00002C0;
constexpr Status kBadArgument = 0xE00002C2;
constexpr Status kUnderrun = 0xE00002E7;
constexpr Status kOverrun = 0xE00002E8;
constexpr Status kAborted = 0xE00002EB;
constexpr Status kNotResponding = 0xE00002ED;
constexpr Status kIsoTooOld = 0xE00002EE;
constexpr Status kIsoTooNew = 0xE00002EF;
constexpr Status kNotSent = 0xE000400E;
constexpr Status kStalled = 0xE000404F;
constexpr Status kTimedOut = 0xE0004051;

} // namespace SimUSB
