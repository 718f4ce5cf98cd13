#include <Wrenlet/FpgaBitstream.h>

#include <cstring>

namespace Wrenlet {

namespace {

constexpr char kMagic[4] = {'W', 'R', 'B', 'S'};

uint32_t crc32(std::span<const uint8_t> bytes)
{
    uint32_t crc = 0xFFFFFFFF;
    for (const uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
        }
    }
    return ~crc;
}

void put32(std::vector<uint8_t>& out, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        out.push_back(uint8_t(value >> (8 * i)));
    }
}

uint32_t get32(std::span<const uint8_t> bytes, size_t at)
{
    return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
           uint32_t(bytes[at + 3]) << 24;
}

} // namespace

std::vector<uint8_t> makeFpgaBitstream(char variant, const std::string& version,
                                       std::span<const uint8_t> payload)
{
    std::vector<uint8_t> out(kMagic, kMagic + 4);
    out.push_back(uint8_t(variant));
    out.push_back(uint8_t(version.size()));
    out.insert(out.end(), version.begin(), version.end());
    put32(out, uint32_t(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    put32(out, crc32(out));
    return out;
}

std::optional<FpgaConfiguration> readFpgaBitstream(std::span<const uint8_t> bytes)
{
    if (bytes.size() < 6 || std::memcmp(bytes.data(), kMagic, 4) != 0) {
        return std::nullopt;
    }
    const size_t versionLength = bytes[5];
    const size_t payloadAt = 6 + versionLength + 4;
    if (bytes.size() < payloadAt) {
        return std::nullopt;
    }
    const uint64_t payloadLength = get32(bytes, 6 + versionLength);
    if (bytes.size() - payloadAt < payloadLength + 4) {
        return std::nullopt;
    }
    const size_t crcAt = payloadAt + size_t(payloadLength);
    if (get32(bytes, crcAt) != crc32(bytes.first(crcAt))) {
        return std::nullopt;
    }
    return FpgaConfiguration{char(bytes[4]),
                             std::string(bytes.begin() + 6, bytes.begin() + 6 + long(versionLength))};
}

} // namespace Wrenlet
