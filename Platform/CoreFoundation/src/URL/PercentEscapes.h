#pragma once

// Percent-escaping of file-system paths into URL paths and back.

#include <optional>
#include <string>
#include <string_view>

namespace CFPlatform {

// A character that RFC 3986 allows as it stands in a path: unreserved, sub-delims, ':', '@', '/'.
bool isPathChar(char c);

// `bytes` with every byte outside the path set written as %XX. With `escapeColons`, ':' is escaped
// too, so that the first segment of a relative reference cannot read as a scheme.
std::string escapePath(std::string_view bytes, bool escapeColons = false);

// The bytes behind the escapes; nothing when a '%' is not followed by two hex digits.
std::optional<std::string> unescape(std::string_view text);

} // namespace CFPlatform
