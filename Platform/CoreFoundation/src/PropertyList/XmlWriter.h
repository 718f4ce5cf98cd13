#pragma once

// Writes a property list as an XML document.

#include <CoreFoundation/CFPropertyList.h>

#include <optional>
#include <string>

namespace CFPlatform {

// The document, or nothing with `problem` saying what cannot be written.
std::optional<std::string> writeXmlPropertyList(CFPropertyListRef plist, std::string& problem);

} // namespace CFPlatform
