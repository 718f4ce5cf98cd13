// The player's own decompressor for Boolean array data.
#pragma once

#include "JamPlayer.h"

#include <cstdint>
#include <optional>

// The decoded length stored little-endian at the start of compressed data.
std::optional<uint32_t> jbi_uncompressed_length(const uint8_t* in, uint64_t in_length);

// Decodes into out, which holds the decoded length and is zero-filled by the caller. Window 8191 for
// format 2, 8192 for format 1. A copy from before the output or input that ends early: JBIC_IO_ERROR.
JBI_RETURN_TYPE jbi_uncompress(const uint8_t* in, uint64_t in_length, uint8_t* out, uint32_t out_length,
                               int version);
