#include "JamUncompress.h"

namespace {

// Bits least-significant first, byte after byte; fields assembled least-significant bit first.
class BitReader
{
public:
    BitReader(const uint8_t* data, uint64_t length) : fData(data), fBits(length * 8) {}

    std::optional<uint32_t> read(int width)
    {
        if (fBits - fPosition < uint64_t(width)) {
            return std::nullopt;
        }
        uint32_t value = 0;
        for (int bit = 0; bit < width; ++bit, ++fPosition) {
            value |= uint32_t((fData[fPosition >> 3] >> (fPosition & 7)) & 1) << bit;
        }
        return value;
    }

private:
    const uint8_t* fData;
    uint64_t fBits;
    uint64_t fPosition = 0;
};

int bitsToRepresent(uint32_t value)
{
    int width = 1;
    while (value >> width) {
        ++width;
    }
    return width;
}

} // namespace

std::optional<uint32_t> jbi_uncompressed_length(const uint8_t* in, uint64_t in_length)
{
    return BitReader(in, in_length).read(32);
}

JBI_RETURN_TYPE jbi_uncompress(const uint8_t* in, uint64_t in_length, uint8_t* out, uint32_t out_length,
                               int version)
{
    BitReader reader(in, in_length);
    const auto length = reader.read(32);
    if (!length || *length != out_length) {
        return JBIC_IO_ERROR;
    }
    const uint32_t window = version == 2 ? 8191 : 8192;
    uint32_t i = 0;
    while (i < out_length) {
        const auto flag = reader.read(1);
        if (!flag) {
            return JBIC_IO_ERROR;
        }
        if (*flag == 0) {
            for (int literal = 0; literal < 3 && i < out_length; ++literal) {
                const auto value = reader.read(8);
                if (!value) {
                    return JBIC_IO_ERROR;
                }
                out[i++] = uint8_t(*value);
            }
            continue;
        }
        const auto offset = reader.read(bitsToRepresent(i < window ? i : window));
        const auto count = reader.read(8);
        if (!offset || !count || *offset > i) {
            return JBIC_IO_ERROR;
        }
        for (uint32_t n = 0; n < *count && i < out_length; ++n, ++i) {
            out[i] = out[i - *offset];
        }
    }
    return JBIC_SUCCESS;
}
