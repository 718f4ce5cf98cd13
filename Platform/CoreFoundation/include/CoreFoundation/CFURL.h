#pragma once

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFError.h>
#include <CoreFoundation/CFString.h>

// URLs as RFC 3986 defines them: a string of ASCII characters, optionally relative to a base URL.
// Nothing is repaired: a string holding a character a URL does not allow gives NULL.

typedef const struct __CFURL* CFURLRef;

typedef CFIndex CFURLPathStyle;
enum : CFURLPathStyle
{
    kCFURLPOSIXPathStyle = 0
};

CF_EXPORT CFTypeID CFURLGetTypeID(void);

// "file:///..." for an absolute path, every byte outside RFC 3986's path characters written as a
// UTF-8 percent-escape; a directory URL ends in "/". A relative path gives a URL relative to the
// working directory's URL. NULL for an empty path or a style other than POSIX.
CF_EXPORT CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef allocator, CFStringRef filePath,
                                                 CFURLPathStyle pathStyle, Boolean isDirectory);
CF_EXPORT CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef allocator, const UInt8* buffer,
                                                           CFIndex bufLen, Boolean isDirectory);
// NULL when the string holds a blank, a non-ASCII or control character, a '%' without two hex
// digits or another character a URL does not allow in its place. A string with a scheme ignores
// the base.
CF_EXPORT CFURLRef CFURLCreateWithString(CFAllocatorRef allocator, CFStringRef URLString, CFURLRef baseURL);

CF_EXPORT CFStringRef CFURLGetString(CFURLRef anURL);
CF_EXPORT CFURLRef CFURLGetBaseURL(CFURLRef anURL);
// The URL resolved against its base (RFC 3986 section 5.2, dot segments removed).
CF_EXPORT CFURLRef CFURLCopyAbsoluteURL(CFURLRef relativeURL);

// The URL's own path, percent-decoded, without a trailing "/" except for "/" itself. NULL for a
// URL that does not name a local file, or whose path is not UTF-8.
CF_EXPORT CFStringRef CFURLCopyFileSystemPath(CFURLRef anURL, CFURLPathStyle pathStyle);
// The same path as bytes with a terminating 0, resolved against the base first when asked. False
// when the buffer is too small or the URL names no local file.
CF_EXPORT Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean resolveAgainstBase, UInt8* buffer,
                                                   CFIndex maxBufLen);

// Percent-decoded; "/" for the root.
CF_EXPORT CFStringRef CFURLCopyLastPathComponent(CFURLRef url);
// The scheme, the host name (an IP literal without its brackets) and the port of the absolute URL;
// NULL, NULL and -1 where it has none.
CF_EXPORT CFStringRef CFURLCopyScheme(CFURLRef anURL);
CF_EXPORT CFStringRef CFURLCopyHostName(CFURLRef anURL);
CF_EXPORT SInt32 CFURLGetPortNumber(CFURLRef anURL);
// The text after the last '.' of the last path component; NULL when there is none.
CF_EXPORT CFStringRef CFURLCopyPathExtension(CFURLRef url);
CF_EXPORT CFURLRef CFURLCreateCopyDeletingLastPathComponent(CFAllocatorRef allocator, CFURLRef url);
// The component is percent-escaped, so every file name gives its URL.
CF_EXPORT CFURLRef CFURLCreateCopyAppendingPathComponent(CFAllocatorRef allocator, CFURLRef url,
                                                         CFStringRef pathComponent, Boolean isDirectory);
CF_EXPORT Boolean CFURLHasDirectoryPath(CFURLRef anURL);

// True when the file system object the URL names exists. Errors are in kCFErrorDomainPOSIX.
CF_EXPORT Boolean CFURLResourceIsReachable(CFURLRef url, CFErrorRef* error);
// Stores a new reference to the property's value at `propertyValueTypeRefPtr` (a CFTypeRef*), or
// NULL for a key it does not know. False, with an error, when the object cannot be reached.
CF_EXPORT Boolean CFURLCopyResourcePropertyForKey(CFURLRef url, CFStringRef key,
                                                  void* propertyValueTypeRefPtr, CFErrorRef* error);

// A CFBoolean.
CF_EXPORT const CFStringRef kCFURLIsDirectoryKey;
// A CFBoolean: a directory whose extension is app, bundle, framework, plugin, kext, dext or driver.
CF_EXPORT const CFStringRef kCFURLIsPackageKey;
// A CFNumber, the device number: equal for two objects on one file system.
CF_EXPORT const CFStringRef kCFURLVolumeIdentifierKey;
// The directory URL of the mount point holding the object.
CF_EXPORT const CFStringRef kCFURLVolumeURLKey;
// The mount point's last path component; "Root" for the mount at "/".
CF_EXPORT const CFStringRef kCFURLVolumeNameKey;
