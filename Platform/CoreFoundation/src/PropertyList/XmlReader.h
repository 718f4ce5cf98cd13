#pragma once

// Reads an XML property list with libxml2.

#include <CoreFoundation/CFPropertyList.h>

#include <string>

namespace CFPlatform {

// A new property list, or NULL with `problem` saying what is wrong with the document.
CFPropertyListRef readXmlPropertyList(const UInt8* bytes, size_t size, CFOptionFlags mutability,
                                      std::string& problem);

} // namespace CFPlatform
