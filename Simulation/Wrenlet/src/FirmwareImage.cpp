#include <Wrenlet/FirmwareImage.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace Wrenlet::FirmwareImage {

namespace {

constexpr size_t kLengthOffset = 4;
constexpr size_t kVersionOffset = 8;
constexpr size_t kCrcOffset = kVersionOffset + kVersionLength;

std::array<uint32_t, 256> makeCrcTable()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

// CRC-32 of the image with its CRC field read as zero.
uint32_t imageCrc(std::span<const uint8_t> image)
{
    static const std::array<uint32_t, 256> table = makeCrcTable();
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < image.size(); ++i) {
        const uint8_t byte = (i >= kCrcOffset && i < kCrcOffset + 4) ? 0 : image[i];
        crc = table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
    }
    return crc ^ 0xFFFFFFFFu;
}

uint32_t readLE(std::span<const uint8_t> bytes, size_t offset)
{
    return uint32_t(bytes[offset]) | uint32_t(bytes[offset + 1]) << 8 | uint32_t(bytes[offset + 2]) << 16 |
           uint32_t(bytes[offset + 3]) << 24;
}

void writeLE(std::vector<uint8_t>& bytes, size_t offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = uint8_t(value >> (8 * i));
}

} // namespace

std::vector<uint8_t> build(const std::string& version, size_t size)
{
    std::vector<uint8_t> image(std::max(size, kHeaderSize));
    // Filler that differs from page to page, so a page written in the wrong place shows.
    for (size_t i = kHeaderSize; i < image.size(); ++i)
        image[i] = uint8_t((i * 31) ^ (i >> 9));
    writeLE(image, 0, kMagic);
    writeLE(image, kLengthOffset, uint32_t(image.size()));
    const size_t textLength = std::min(version.size(), kVersionLength - 1);
    std::memcpy(image.data() + kVersionOffset, version.data(), textLength);
    std::fill(image.begin() + kVersionOffset + textLength, image.begin() + kCrcOffset, 0);
    writeLE(image, kCrcOffset, imageCrc(image));
    return image;
}

std::optional<std::string> validVersion(std::span<const uint8_t> bytes)
{
    if (bytes.size() < kHeaderSize || readLE(bytes, 0) != kMagic)
        return std::nullopt;
    const uint32_t length = readLE(bytes, kLengthOffset);
    if (length < kHeaderSize || length > bytes.size())
        return std::nullopt;
    const auto image = bytes.first(length);
    if (readLE(image, kCrcOffset) != imageCrc(image))
        return std::nullopt;
    const char* text = reinterpret_cast<const char*>(image.data() + kVersionOffset);
    return std::string(text, strnlen(text, kVersionLength));
}

} // namespace Wrenlet::FirmwareImage
