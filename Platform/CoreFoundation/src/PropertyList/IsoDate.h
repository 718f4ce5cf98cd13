#pragma once

// Dates of property lists: "YYYY-MM-DDTHH:MM:SSZ" in UTC, whole seconds, years 0000 to 9999.

#include <CoreFoundation/CFDate.h>

#include <optional>
#include <string>
#include <string_view>

namespace CFPlatform {

// Nothing unless the text has exactly that form and names a real instant.
std::optional<CFAbsoluteTime> parseIsoDate(std::string_view text);

// The text of the whole second at or before `time`; nothing outside the years the form can hold.
std::optional<std::string> formatIsoDate(CFAbsoluteTime time);

} // namespace CFPlatform
