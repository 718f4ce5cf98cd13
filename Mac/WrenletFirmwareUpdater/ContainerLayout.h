// The layout of a decoded firmware container (all integers little-endian):
//   0    RSA-2048 signature over bytes 256 to the end
//   256  32 bytes not read
//   288  firmware version, NUL-terminated within 32 bytes
//   320  FPGA version, likewise
//   352  the sizes of sections 1 to 4, 4 bytes each
//   368  the four sections back to back
#pragma once

#include "FirmwareContainer.h"

#include <cstdint>
#include <memory>
#include <vector>

constexpr size_t kContainerSignatureSize = 256;
constexpr size_t kContainerHeaderSize = 368;

// The container the bytes hold when their section sizes account for every byte after the header;
// null otherwise.
std::shared_ptr<const FirmwareContainer>
ReadContainerLayout(std::shared_ptr<const std::vector<uint8_t>> bytes);
