#pragma once

// The preferences domains of the process, one per application id, each read from its file at its
// first use.

#include <CoreFoundation/CFPropertyList.h>
#include <CoreFoundation/CFString.h>

#include <string>

namespace CFPlatform {

// `applicationID` is a valid file name (see applicationFileName).
CFPropertyListRef copyPreference(CFStringRef key, const std::string& applicationID);
// `value` is an immutable property list, or NULL to remove the key.
void setPreference(CFStringRef key, CFPropertyListRef value, const std::string& applicationID);
bool synchronizePreferences(const std::string& applicationID);

// Forgets every domain, so the next use reads its file again (from a new folder in tests).
void forgetPreferences();

} // namespace CFPlatform
