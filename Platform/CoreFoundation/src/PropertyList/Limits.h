#pragma once

// Bounds of what the property-list reader accepts and the writer produces.

#include <cstddef>

namespace CFPlatform {

constexpr size_t kMaxPropertyListBytes = 16 * 1024 * 1024;
// Containers inside containers; the top value is at depth 0.
constexpr int kMaxPropertyListDepth = 128;

} // namespace CFPlatform
