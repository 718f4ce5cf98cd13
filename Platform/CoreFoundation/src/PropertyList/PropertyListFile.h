#pragma once

// Property lists kept in files (Info.plist, preferences).

#include <CoreFoundation/CFPropertyList.h>

#include <string>

namespace CFPlatform {

enum class FileReadResult
{
    Read,
    Missing,
    Failed
};

// Reads the whole file and parses it. `plist` receives a new reference when the result is Read;
// `problem` says why when it is Failed (unreadable or malformed).
FileReadResult readPropertyListFile(const std::string& path, CFPropertyListRef& plist, std::string& problem);

} // namespace CFPlatform
