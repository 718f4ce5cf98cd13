#include "UnpackFirmware.h"

#include "ContainerLayout.h"
#include "VerifySignature.h"
#include "XZDecompress.h"

UnpackOutcome CheckContainer(std::shared_ptr<const std::vector<uint8_t>> decoded)
{
    std::shared_ptr<const FirmwareContainer> container = ReadContainerLayout(decoded);
    if (!container) {
        return UnpackResult::InvalidLayout{};
    }
    const uint8_t* bytes = decoded->data();
    if (!VerifySignature(bytes + kContainerSignatureSize, decoded->size() - kContainerSignatureSize, bytes,
                         kContainerSignatureSize)) {
        return UnpackResult::BadSignature{};
    }
    return UnpackResult::Verified{std::move(container)};
}

UnpackOutcome UnpackFirmware(std::span<const uint8_t> rawFile)
{
    std::optional<std::vector<uint8_t>> decoded = XZDecompress(rawFile);
    if (!decoded) {
        return UnpackResult::NotDecoded{};
    }
    return CheckContainer(std::make_shared<const std::vector<uint8_t>>(std::move(*decoded)));
}
