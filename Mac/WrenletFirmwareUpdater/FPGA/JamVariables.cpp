#include "JamVariables.h"

#include "JamStubs.h"
#include "JamUncompress.h"

#include <cstring>
#include <limits>
#include <string_view>

namespace {

constexpr uint8_t kOwned = 0x80;
constexpr uint64_t kMaxEntries = std::numeric_limits<uint64_t>::max() / 16;

uint64_t bytesFor(const JamVariable& variable, uint64_t size)
{
    return variable.isIntegerArray() ? size * sizeof(int64_t) : (size + 7) / 8;
}

} // namespace

int64_t jbi_parse_init_value(const char* text)
{
    uint64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + uint64_t(*text - '0');
    }
    return int64_t(value);
}

JamVariables::~JamVariables()
{
    for (JamVariable& variable : fVariables) {
        jbi_free(variable.owned);
    }
}

uint8_t* JamVariables::allocate(const JamVariable& variable, uint64_t size)
{
    if (size > kMaxEntries) {
        return nullptr;
    }
    const uint64_t bytes = bytesFor(variable, size);
    auto* storage = static_cast<uint8_t*>(jbi_malloc(bytes ? bytes : 1));
    if (storage) {
        std::memset(storage, 0, bytes ? bytes : 1);
    }
    return storage;
}

JBI_RETURN_TYPE JamVariables::setUp(const JamImage& image, const JamHeader& header,
                                    const char* const* init_list)
{
    fFormat = header.format;
    const uint64_t entrySize = header.format == 2 ? 13 : 11;
    if (!image.contains(header.symbolTable, uint64_t(header.symbolCount) * entrySize)) {
        return JBIC_IO_ERROR;
    }
    fVariables.resize(header.symbolCount);
    for (uint64_t i = 0; i < fVariables.size(); ++i) {
        const JBI_RETURN_TYPE status =
            setUpOne(image, header, header.symbolTable + i * entrySize, fVariables[i]);
        if (status != JBIC_SUCCESS) {
            return status;
        }
    }
    if (header.format != 1 || !init_list) {
        return JBIC_SUCCESS;
    }
    for (const char* const* item = init_list; *item; ++item) {
        const std::string_view entry(*item);
        const size_t equals = entry.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        for (uint64_t i = 0; i < fVariables.size(); ++i) {
            const auto name = image.be16(header.symbolTable + i * entrySize + 1);
            const auto text = name ? image.text(uint64_t(header.stringTable) + *name) : std::nullopt;
            if (text && jbi_names_equal(*text, entry.substr(0, equals))) {
                fVariables[i].value = jbi_parse_init_value(*item + equals + 1);
            }
        }
    }
    return JBIC_SUCCESS;
}

JBI_RETURN_TYPE JamVariables::setUpOne(const JamImage& image, const JamHeader& header, uint64_t entry,
                                       JamVariable& variable)
{
    const bool format2 = header.format == 2;
    const uint8_t attributes = *image.byte(entry) & 0x7F;
    const uint32_t value = *image.be32(entry + (format2 ? 5 : 3));
    variable.attributes = attributes;
    variable.size = *image.be32(entry + (format2 ? 9 : 7));
    const uint64_t data = uint64_t(header.dataSection) + value;

    if ((attributes & 0x0C) == 0x04) {
        variable.value = int32_t(value);
    } else if ((attributes & 0x1E) == 0x0E) {
        const uint64_t available = data < image.size() ? image.size() - data : 0;
        const auto length = jbi_uncompressed_length(image.data() + data, available);
        if (!length) {
            return JBIC_IO_ERROR;
        }
        variable.size = uint64_t(*length) * 8;
        variable.owned = allocate(variable, variable.size);
        if (!variable.owned) {
            return JBIC_OUT_OF_MEMORY;
        }
        variable.attributes |= kOwned;
        return jbi_uncompress(image.data() + data, available, variable.owned, *length, header.format);
    } else if ((attributes & 0x1E) == 0x0C || (attributes & 0x1C) == 0x1C) {
        const uint64_t bytes = variable.isIntegerArray() ? variable.size * 4 : (variable.size + 7) / 8;
        if (!image.contains(data, bytes)) {
            return JBIC_IO_ERROR;
        }
        variable.fileData = image.data() + data;
    } else if ((attributes & 0x0C) == 0x08) {
        variable.owned = allocate(variable, variable.size);
        if (!variable.owned) {
            return JBIC_OUT_OF_MEMORY;
        }
        variable.attributes |= kOwned;
    }
    return JBIC_SUCCESS;
}

JBI_RETURN_TYPE JamVariables::prepareFirstWrite(JamVariable& variable, bool integer)
{
    const uint8_t initialisedPattern = integer ? 0x1C : 0x0C;
    if (fFormat == 2 && (variable.attributes & 0x9C) == initialisedPattern && variable.fileData) {
        uint8_t* copy = allocate(variable, variable.size);
        if (!copy) {
            return JBIC_OUT_OF_MEMORY;
        }
        if (integer) {
            for (uint64_t i = 0; i < variable.size; ++i) {
                const int64_t element = variable.element(i);
                std::memcpy(copy + i * sizeof(int64_t), &element, sizeof element);
            }
        } else {
            for (uint64_t i = 0; i < variable.size; ++i) {
                copy[i >> 3] = uint8_t(copy[i >> 3] | (variable.bit(i) << (i & 7)));
            }
        }
        variable.owned = copy;
        variable.fileData = nullptr;
        variable.attributes = uint8_t((variable.attributes & ~0x04) | 0x01 | kOwned);
    }
    const uint8_t writablePattern = integer ? 0x18 : 0x08;
    return (variable.attributes & 0x1C) == writablePattern && variable.owned ? JBIC_SUCCESS
                                                                             : JBIC_BOUNDS_ERROR;
}

JBI_RETURN_TYPE JamVariables::grow(JamVariable& variable, int64_t n)
{
    if (n <= 0 || uint64_t(n) <= variable.size) {
        return JBIC_SUCCESS;
    }
    uint8_t* storage = allocate(variable, uint64_t(n));
    if (!storage) {
        return JBIC_OUT_OF_MEMORY;
    }
    jbi_free(variable.owned);
    variable.owned = storage;
    variable.fileData = nullptr;
    variable.size = uint64_t(n);
    variable.attributes |= kOwned;
    return JBIC_SUCCESS;
}
