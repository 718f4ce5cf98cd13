#pragma once

// Direct access to CFString contents for the other parts of the Platform layers (URLs, property
// lists, bundles), which work on UTF-8 and UTF-16 text without copying through C buffers.

#include <CoreFoundation/CFString.h>

#include <optional>
#include <string>
#include <string_view>

namespace CFPlatform {

// The string's UTF-16 units, valid while the string lives unchanged. Ends the process with a
// message naming `call` when `string` is NULL or not a string.
std::u16string_view charactersOf(CFStringRef string, const char* call);

// The UTF-8 text of a string; empty when it holds an unpaired surrogate.
std::optional<std::string> utf8Of(CFStringRef string);

CFStringRef createString(std::u16string_view characters);
// NULL when `utf8` is not well-formed UTF-8.
CFStringRef createStringFromUTF8(std::string_view utf8);

} // namespace CFPlatform
