#pragma once

// Run images as the firmware server ships them: a 64-byte header with the version at offsets 12 to
// 35, then filler up to the size asked for.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Pyx {

constexpr size_t kHeaderSize = 64;
constexpr size_t kBuildLength = 12;

struct RunImageSpec
{
    uint32_t major = 1;
    uint32_t minor = 0;
    uint32_t patch = 0;
    // Up to 12 bytes; the rest of the field is zeros.
    std::string build = "sim";
    size_t size = 200 * 1024;
    // Byte i of the body (after the header) is `fill + i` modulo 256, so that blocks differ.
    uint8_t fill = 0x5A;
};

// The image; one shorter than the header holds the header's first bytes only.
std::vector<uint8_t> buildRunImage(const RunImageSpec& spec);

// The version text of a header with these fields: "major.minor.patch+" and the 12 build bytes.
std::string versionText(const RunImageSpec& spec);

} // namespace Pyx
