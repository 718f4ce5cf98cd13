// Scratch bits from jbi_malloc, released with their scope.
#pragma once

#include "JamStubs.h"

#include <cstdint>
#include <cstring>

class JamBitBuffer
{
public:
    explicit JamBitBuffer(uint64_t bits)
    {
        const uint64_t bytes = (bits + 7) / 8 + 1;
        fBits = static_cast<uint8_t*>(jbi_malloc(bytes));
        if (fBits) {
            std::memset(fBits, 0, bytes);
        }
    }
    JamBitBuffer(const JamBitBuffer&) = delete;
    JamBitBuffer& operator=(const JamBitBuffer&) = delete;
    ~JamBitBuffer() { jbi_free(fBits); }

    explicit operator bool() const { return fBits != nullptr; }
    uint8_t* data() { return fBits; }
    bool get(uint64_t index) const { return (fBits[index >> 3] >> (index & 7)) & 1; }
    void set(uint64_t index, bool value) { set(fBits, index, value); }

    static void set(uint8_t* bits, uint64_t index, bool value)
    {
        const uint8_t mask = uint8_t(1 << (index & 7));
        bits[index >> 3] = value ? uint8_t(bits[index >> 3] | mask) : uint8_t(bits[index >> 3] & ~mask);
    }

private:
    uint8_t* fBits = nullptr;
};
