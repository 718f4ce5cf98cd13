// The steps after a firmware file is loaded: decode, check the layout, check the signature.
#pragma once

#include "FirmwareContainer.h"

#include <cstdint>
#include <memory>
#include <span>
#include <variant>

namespace UnpackResult {
// Not one complete xz stream within the limits: the file is ignored without a word.
struct NotDecoded
{};
// "Invalid File".
struct InvalidLayout
{};
// "File Signature Verification Failed".
struct BadSignature
{};
struct Verified
{
    std::shared_ptr<const FirmwareContainer> container;
};
} // namespace UnpackResult

using UnpackOutcome = std::variant<UnpackResult::NotDecoded, UnpackResult::InvalidLayout,
                                   UnpackResult::BadSignature, UnpackResult::Verified>;

UnpackOutcome UnpackFirmware(std::span<const uint8_t> rawFile);

// The same steps from the decoded container on.
UnpackOutcome CheckContainer(std::shared_ptr<const std::vector<uint8_t>> decoded);
