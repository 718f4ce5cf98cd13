#include <FirmwareVersion.h>

#include <algorithm>

namespace {

uint32_t readLittleEndian(const FirmwareHeader& header, size_t offset)
{
    return uint32_t(header[offset]) | uint32_t(header[offset + 1]) << 8 | uint32_t(header[offset + 2]) << 16 |
           uint32_t(header[offset + 3]) << 24;
}

} // namespace

FirmwareVersion::FirmwareVersion(const FirmwareHeader& header)
    : major(readLittleEndian(header, 12)), minor(readLittleEndian(header, 16)),
      patch(readLittleEndian(header, 20))
{
    std::copy_n(header.begin() + 24, build.size(), build.begin());
}

FirmwareVersion FirmwareVersion::fromImage(std::span<const uint8_t> image)
{
    FirmwareHeader header{};
    if (image.size() < header.size())
        return {};
    std::copy_n(image.begin(), header.size(), header.begin());
    return FirmwareVersion(header);
}

std::string FirmwareVersion::toString() const
{
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch) + "+" +
           std::string(build.data(), build.size());
}
