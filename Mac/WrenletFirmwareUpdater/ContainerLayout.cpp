#include "ContainerLayout.h"

#include <cstring>
#include <string>

namespace {

constexpr size_t kFirmwareVersionOffset = 288;
constexpr size_t kFPGAVersionOffset = 320;
constexpr size_t kVersionFieldSize = 32;
constexpr size_t kSizesOffset = 352;

std::string versionText(const std::vector<uint8_t>& bytes, size_t offset)
{
    const char* field = reinterpret_cast<const char*>(bytes.data() + offset);
    return std::string(field, strnlen(field, kVersionFieldSize));
}

uint32_t littleEndian32(const std::vector<uint8_t>& bytes, size_t offset)
{
    return uint32_t(bytes[offset]) | uint32_t(bytes[offset + 1]) << 8 | uint32_t(bytes[offset + 2]) << 16 |
           uint32_t(bytes[offset + 3]) << 24;
}

} // namespace

std::shared_ptr<const FirmwareContainer>
ReadContainerLayout(std::shared_ptr<const std::vector<uint8_t>> bytes)
{
    if (!bytes || bytes->size() < kContainerHeaderSize) {
        return nullptr;
    }
    const uint64_t available = bytes->size() - kContainerHeaderSize;
    std::array<FirmwareContainer::Range, FirmwareContainer::kSectionCount> sections;
    // Summed in 64 bits, each size bounded first, so sizes that wrap in 32 bits cannot pass.
    uint64_t offset = kContainerHeaderSize;
    for (int i = 0; i < FirmwareContainer::kSectionCount; ++i) {
        const uint64_t size = littleEndian32(*bytes, kSizesOffset + 4 * size_t(i));
        if (size > available) {
            return nullptr;
        }
        sections[size_t(i)] = {size_t(offset), size_t(size)};
        offset += size;
    }
    if (offset != bytes->size()) {
        return nullptr;
    }
    std::string firmwareVersion = versionText(*bytes, kFirmwareVersionOffset);
    std::string fpgaVersion = versionText(*bytes, kFPGAVersionOffset);
    return FirmwareContainer::Make(std::move(bytes), std::move(firmwareVersion), std::move(fpgaVersion),
                                   sections);
}
