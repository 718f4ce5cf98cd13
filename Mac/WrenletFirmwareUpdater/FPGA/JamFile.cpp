#include "JamFile.h"

#include "JamPlayer.h"

std::optional<std::string_view> JamImage::text(uint64_t offset) const
{
    if (offset >= fSize) {
        return std::nullopt;
    }
    for (uint64_t end = offset; end < fSize; ++end) {
        if (fData[end] == 0) {
            return std::string_view(reinterpret_cast<const char*>(fData + offset), end - offset);
        }
    }
    return std::nullopt;
}

std::optional<JamHeader> jbi_read_header(const JamImage& image)
{
    if (image.size() <= 52) {
        return std::nullopt;
    }
    const uint32_t magic = *image.be32(0);
    if (magic != 0x4A414D00 && magic != 0x4A414D01) {
        return std::nullopt;
    }
    JamHeader header;
    header.format = magic == 0x4A414D01 ? 2 : 1;
    // Format 2 inserts the action and procedure tables after the magic and two counts in the middle.
    const uint64_t shift = header.format == 2 ? 8 : 0;
    const uint64_t countShift = header.format == 2 ? 16 : 0;
    // A format-2 header may run past a short file; its missing words read as 0.
    const auto word = [&](uint64_t offset) { return image.be32(offset).value_or(0); };
    if (header.format == 2) {
        header.actionTable = word(4);
        header.procedureTable = word(8);
        header.actionCount = word(48);
        header.procedureCount = word(52);
    }
    header.stringTable = word(4 + shift);
    header.noteStrings = word(8 + shift);
    header.noteTable = word(12 + shift);
    header.symbolTable = word(16 + shift);
    header.dataSection = word(20 + shift);
    header.codeSection = word(24 + shift);
    header.debugSection = word(28 + shift);
    header.crcField = word(32 + shift);
    header.noteCount = word(44 + countShift);
    header.symbolCount = word(48 + countShift);
    return header;
}

std::optional<JamHeader> jbi_read_header(const uint8_t* program, int64_t program_size)
{
    return program_size < 0 ? std::nullopt : jbi_read_header(JamImage(program, uint64_t(program_size)));
}

JBI_RETURN_TYPE jbi_check_layout(const JamImage& image, const JamHeader& header)
{
    const bool format2 = header.format == 2;
    const uint64_t headerSize = format2 ? 68 : 52;
    const auto table = [&](uint64_t offset, uint64_t count, uint64_t entrySize) {
        return image.contains(offset, count * entrySize);
    };
    const bool inside = image.size() >= headerSize && table(header.stringTable, 0, 0) &&
                        table(header.noteStrings, 0, 0) && table(header.noteTable, header.noteCount, 8) &&
                        table(header.symbolTable, header.symbolCount, format2 ? 13 : 11) &&
                        table(header.dataSection, 0, 0) && header.codeSection <= header.debugSection &&
                        table(header.debugSection, 0, 0) &&
                        (!format2 || (table(header.actionTable, header.actionCount, 12) &&
                                      table(header.procedureTable, header.procedureCount, 13)));
    return inside ? JBIC_SUCCESS : JBIC_IO_ERROR;
}

uint16_t jbi_crc16(const uint8_t* data, uint64_t length)
{
    uint16_t crc = 0xFFFF;
    for (uint64_t i = 0; i < length; ++i) {
        uint8_t byte = data[i];
        for (int bit = 0; bit < 8; ++bit) {
            const bool feedback = ((crc ^ byte) & 1) != 0;
            crc >>= 1;
            if (feedback) {
                crc ^= 0x8408;
            }
            byte >>= 1;
        }
    }
    return uint16_t(~crc);
}

bool jbi_names_equal(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    const auto fold = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; };
    for (size_t i = 0; i < a.size(); ++i) {
        if (fold(a[i]) != fold(b[i])) {
            return false;
        }
    }
    return true;
}

JBI_RETURN_TYPE jbi_check_crc(const uint8_t* program, int64_t program_size, uint16_t* expected_crc,
                              uint16_t* actual_crc)
{
    const auto header = jbi_read_header(program, program_size);
    if (!header) {
        return JBIC_IO_ERROR;
    }
    const JamImage image(program, uint64_t(program_size));
    // The actual value is known even when the field does not fit, so the caller can show it.
    const uint64_t covered = header->crcField < image.size() ? header->crcField : image.size();
    *actual_crc = jbi_crc16(program, covered);
    const auto stored = image.be16(header->crcField);
    if (!stored) {
        return JBIC_IO_ERROR;
    }
    *expected_crc = uint16_t(*stored);
    return *expected_crc == *actual_crc ? JBIC_SUCCESS : JBIC_CRC_ERROR;
}

JBI_RETURN_TYPE jbi_get_file_info(const uint8_t* program, int64_t program_size, int* format_version,
                                  int* action_count, int* procedure_count)
{
    const auto header = jbi_read_header(program, program_size);
    if (!header) {
        return JBIC_IO_ERROR;
    }
    *format_version = header->format;
    if (header->format == 2 && program_size < 68) {
        return JBIC_IO_ERROR;
    }
    if (header->format == 2) {
        *action_count = int(header->actionCount);
        *procedure_count = int(header->procedureCount);
    }
    return JBIC_SUCCESS;
}
