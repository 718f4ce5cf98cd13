#pragma once

// User signatures as the factory writes them: the model tag "VORK?NRW" (? = A, B or C) and, at the
// tag's bytes 11 to 13, the unit's UID. The run-mode serial number derives from them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Wrenlet {

using UID = std::array<uint8_t, 3>;

// A 512-byte signature with the tag of `model` at `offset` (no tag when `model` is absent).
std::vector<uint8_t> makeSignature(std::optional<char> model, size_t offset, UID uid);

// The serial number the run-mode firmware reports for a signature whose tag is at offset 0 to 2:
// the tag's bytes 7, 6, 5, 4, then the UID in upper-case hex ("WRNA0A1B2C"). Empty without a tag.
std::string serialFromSignature(const std::vector<uint8_t>& signature);

} // namespace Wrenlet
