#pragma once

// The identity of a command: a 32-bit value made of two 16-bit halves. The chain passes it along
// without looking inside; handlers compare it with the commands they serve.

#include <cstdint>

namespace Pellix {

class CommandSpecifier
{
public:
    constexpr explicit CommandSpecifier(uint32_t value = 0) : fValue(value) {}
    constexpr CommandSpecifier(uint16_t high, uint16_t low) : fValue((uint32_t(high) << 16) | low) {}

    constexpr uint32_t Value() const { return fValue; }
    constexpr uint16_t High() const { return uint16_t(fValue >> 16); }
    constexpr uint16_t Low() const { return uint16_t(fValue); }

    constexpr bool operator==(const CommandSpecifier& other) const { return fValue == other.fValue; }

private:
    uint32_t fValue;
};

} // namespace Pellix
