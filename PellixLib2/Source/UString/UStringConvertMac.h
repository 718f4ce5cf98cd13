#pragma once

// UString to and from CoreFoundation strings and the platform's file-name record. Every CFString
// returned belongs to the caller through its auto_cfref.

#include "UString.h"

#include <AutoCFRef.h>
#include <CoreFoundation/CoreFoundation.h>
#include <CoreServices/CoreServices.h>

auto_cfref<CFStringRef> UStringToCF(const UString& s);
// Mutable, without a length limit.
auto_cfref<CFMutableStringRef> UStringToCFMutable(const UString& s);
// A null reference gives the empty string.
UString CFToUString(CFStringRef s);

// The first 255 units at most.
HFSUniStr255 UStringToHFS(const UString& s);
UString HFSToUString(const HFSUniStr255& name);
// The first 255 units at most; a null reference gives length 0.
HFSUniStr255 CFStringToHFS(CFStringRef s);
auto_cfref<CFStringRef> HFSToCFString(const HFSUniStr255& name);
auto_cfref<CFMutableStringRef> HFSToCFMutableString(const HFSUniStr255& name);
