#pragma once

// A URI reference split into its five components, with resolution against a base, as RFC 3986
// defines them. Text is ASCII; percent-escapes are kept as they stand.

#include <optional>
#include <string>
#include <string_view>

namespace CFPlatform {

struct UriReference
{
    std::optional<std::string> scheme;
    std::optional<std::string> authority;
    std::string path;
    std::optional<std::string> query;
    std::optional<std::string> fragment;

    // The reference put back together (section 5.3).
    std::string toString() const;
    bool isFileScheme() const;
};

// Splits a reference; nothing when it holds a character a URI does not allow in its place (a blank,
// a control or non-ASCII byte, a '%' without two hex digits, a second '#', ...).
std::optional<UriReference> parseUriReference(std::string_view text);

// The target of `reference` against `base` (section 5.2.2).
UriReference resolveReference(const UriReference& base, const UriReference& reference);

// Section 5.2.4.
std::string removeDotSegments(std::string_view path);

} // namespace CFPlatform
