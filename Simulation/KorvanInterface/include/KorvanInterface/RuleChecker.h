#pragma once

// Checks configuration descriptors against USB 2.0 chapter 9 and UAC2 section 4, as far as an
// interface of this family uses them. Each broken rule is named once, in the order found:
//   "bLength", "wTotalLength", "bNumInterfaces", "endpoint addresses", "AC header wTotalLength",
//   "entity ids", "bTerminalLink", "max packet", "format", "channel counts".

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace KorvanInterface {

std::vector<std::string> brokenRules(std::span<const uint8_t> configuration);

} // namespace KorvanInterface
