#pragma once

// The simulation's own FPGA configuration format: "WRBS", the variant letter, the FPGA version text
// (a length byte and its characters), the payload's length (4 bytes, little-endian), the payload,
// and the CRC-32 of everything before it (little-endian). Programs load it as 32-bit words, least
// significant byte first, the last word padded with zeros.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace Wrenlet {

std::vector<uint8_t> makeFpgaBitstream(char variant, const std::string& version,
                                       std::span<const uint8_t> payload);

struct FpgaConfiguration
{
    char variant;
    std::string version;
};

// The configuration a bitstream carries when it is whole and its CRC matches; padding after it is
// allowed.
std::optional<FpgaConfiguration> readFpgaBitstream(std::span<const uint8_t> bytes);

} // namespace Wrenlet
