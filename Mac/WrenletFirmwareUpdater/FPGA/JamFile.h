// Bounded reading of a byte-code file and its header.
#pragma once

#include "JamPlayer.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

// The file as the player sees it: every read is checked against its end.
class JamImage
{
public:
    JamImage(const uint8_t* data, uint64_t size) : fData(data), fSize(size) {}

    uint64_t size() const { return fSize; }
    const uint8_t* data() const { return fData; }
    bool contains(uint64_t offset, uint64_t length) const
    {
        return offset <= fSize && length <= fSize - offset;
    }
    std::optional<uint8_t> byte(uint64_t offset) const
    {
        return contains(offset, 1) ? std::optional<uint8_t>(fData[offset]) : std::nullopt;
    }
    std::optional<uint32_t> be16(uint64_t offset) const
    {
        return contains(offset, 2) ? std::optional<uint32_t>(uint32_t(fData[offset]) << 8 | fData[offset + 1])
                                   : std::nullopt;
    }
    std::optional<uint32_t> be32(uint64_t offset) const
    {
        return contains(offset, 4) ? std::optional<uint32_t>(uncheckedBe32(offset)) : std::nullopt;
    }
    // For offsets already checked.
    uint32_t uncheckedBe32(uint64_t offset) const
    {
        // One load of the four bytes, turned to the host's order.
        uint32_t value;
        std::memcpy(&value, fData + offset, sizeof value);
        return std::endian::native == std::endian::big ? value : __builtin_bswap32(value);
    }
    // The NUL-terminated text at offset, which must end inside the file.
    std::optional<std::string_view> text(uint64_t offset) const;

private:
    const uint8_t* fData;
    uint64_t fSize;
};

struct JamHeader
{
    int format = 0; // 1 or 2
    uint32_t actionTable = 0;
    uint32_t procedureTable = 0;
    uint32_t stringTable = 0;
    uint32_t noteStrings = 0;
    uint32_t noteTable = 0;
    uint32_t symbolTable = 0;
    uint32_t dataSection = 0;
    uint32_t codeSection = 0;
    uint32_t debugSection = 0;
    uint32_t crcField = 0;
    uint32_t actionCount = 0;
    uint32_t procedureCount = 0;
    uint32_t noteCount = 0;
    uint32_t symbolCount = 0;
};

// The header of a recognised file: longer than 52 bytes and starting "JAM" 0 or "JAM" 1. Words of a
// format-2 header that runs past a short file read as 0.
std::optional<JamHeader> jbi_read_header(const JamImage& image);
// The same for a program as the player's entry points take it; nothing for a negative size.
std::optional<JamHeader> jbi_read_header(const uint8_t* program, int64_t program_size);

// Before a file is used: the whole header is present, and every table, section and the code range lie
// inside the file. JBIC_IO_ERROR otherwise.
JBI_RETURN_TYPE jbi_check_layout(const JamImage& image, const JamHeader& header);

// CRC-16 with the reflected polynomial 0x8408, initial 0xFFFF, complemented.
uint16_t jbi_crc16(const uint8_t* data, uint64_t length);

// Names in the file compare without regard to ASCII case.
bool jbi_names_equal(std::string_view a, std::string_view b);
