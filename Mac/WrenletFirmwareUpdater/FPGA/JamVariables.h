// The program's variables: set up from the symbol table and data section, read and written with the
// standard's writability and copy-on-first-write rules.
#pragma once

#include "JamFile.h"
#include "JamPlayer.h"

#include <cstdint>
#include <cstring>
#include <vector>

struct JamVariable
{
    uint8_t attributes = 0;            // bit 7: storage owned by the player
    int64_t value = 0;                 // scalars
    uint64_t size = 0;                 // bits of a Boolean array, elements of an integer array
    const uint8_t* fileData = nullptr; // read-only data in the file: packed bits or BE32 elements
    uint8_t* owned = nullptr;          // player storage: packed bits or int64_t elements

    bool isArray() const { return (attributes & 0x08) != 0; }
    bool isIntegerArray() const { return (attributes & 0x18) == 0x18; }
    bool isBooleanArray() const { return (attributes & 0x18) == 0x08; }
    const uint8_t* bits() const { return owned ? owned : fileData; }
    int64_t element(uint64_t index) const
    {
        if (owned) {
            int64_t value;
            std::memcpy(&value, owned + index * sizeof(int64_t), sizeof value);
            return value;
        }
        const uint8_t* p = fileData + index * 4;
        return int32_t(uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]);
    }
    bool bit(uint64_t index) const { return (bits()[index >> 3] >> (index & 7)) & 1; }
};

class JamVariables
{
public:
    JamVariables() = default;
    JamVariables(const JamVariables&) = delete;
    JamVariables& operator=(const JamVariables&) = delete;
    ~JamVariables();

    // Before the first instruction; format 1 applies the initialisation list by symbol name.
    JBI_RETURN_TYPE setUp(const JamImage& image, const JamHeader& header, const char* const* init_list);

    uint64_t count() const { return fVariables.size(); }
    JamVariable& operator[](uint64_t id) { return fVariables[id]; }
    JamVariable* data() { return fVariables.data(); }

    // Checks that the array may be written, making a writable copy of file data first in format 2.
    JBI_RETURN_TYPE prepareWrite(JamVariable& variable, bool integer)
    {
        // An array the player already owns in the wanted kind is writable as it stands.
        const uint8_t writablePattern = integer ? 0x18 : 0x08;
        if ((variable.attributes & 0x1C) == writablePattern && variable.owned) {
            return JBIC_SUCCESS;
        }
        return prepareFirstWrite(variable, integer);
    }
    // Grows the array to n zeroed entries; a smaller n leaves it as it is.
    JBI_RETURN_TYPE grow(JamVariable& variable, int64_t n);

private:
    JBI_RETURN_TYPE prepareFirstWrite(JamVariable& variable, bool integer);
    JBI_RETURN_TYPE setUpOne(const JamImage& image, const JamHeader& header, uint64_t entry,
                             JamVariable& variable);
    // Zeroed storage for size entries of the variable's kind.
    uint8_t* allocate(const JamVariable& variable, uint64_t size);

    std::vector<JamVariable> fVariables;
    int fFormat = 0;
};

// Parses the leading decimal digits of an initialisation value; no digits give 0.
int64_t jbi_parse_init_value(const char* text);
