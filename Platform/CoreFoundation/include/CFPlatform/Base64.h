#pragma once

// Base64 (RFC 4648, standard alphabet, padded) for the data elements of property lists.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace CFPlatform {

std::string encodeBase64(const unsigned char* bytes, size_t size);

// Blanks, tabs and line breaks are skipped; nothing for any other character outside the alphabet,
// a length that is not a whole number of groups, or misplaced padding.
std::optional<std::vector<unsigned char>> decodeBase64(std::string_view text);

} // namespace CFPlatform
