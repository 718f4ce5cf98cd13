#pragma once

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFPropertyList.h>
#include <CoreFoundation/CFString.h>

// Application preferences: one XML property-list file per application id,
// <home>/Library/Preferences/<applicationID>.plist, with the home folder taken from the password
// database. A domain is read from its file at its first use in the process; a file that cannot be
// read or parsed reads as empty and is logged once. An application id that cannot name a file (empty,
// ".", ".." or holding a '/') has no preferences.

// The main bundle's identifier, or the executable's file name when it has none.
CF_EXPORT const CFStringRef kCFPreferencesCurrentApplication;

// A new reference to an immutable property-list value, or NULL.
CF_EXPORT CFPropertyListRef CFPreferencesCopyAppValue(CFStringRef key, CFStringRef applicationID);
// Keeps an immutable copy of the value; NULL removes the key. A value that is not a property list
// the XML format can carry is refused (and logged).
CF_EXPORT void CFPreferencesSetAppValue(CFStringRef key, CFPropertyListRef value, CFStringRef applicationID);
// Writes the domain's changes: a temporary file in the same folder, flushed to disk and renamed over
// the old file. False when that fails; the old file then stays whole and no temporary file remains.
CF_EXPORT Boolean CFPreferencesAppSynchronize(CFStringRef applicationID);
