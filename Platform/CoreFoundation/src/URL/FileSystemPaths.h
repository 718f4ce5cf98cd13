#pragma once

// File URLs made from file-system paths, and the paths read back from them.

#include <CoreFoundation/CFURL.h>

#include <optional>
#include <string>
#include <string_view>

namespace CFPlatform {

// A file URL for the path's bytes: absolute, or relative to the working directory's URL. NULL for an
// empty path, a path holding a 0 byte or a working directory that cannot be read.
CFURLRef createFileURL(std::string_view path, bool isDirectory);

// The decoded path bytes the URL names, resolved against its base when `resolveAgainstBase`; nothing
// when it names no local file.
std::optional<std::string> filePathOf(CFURLRef url, bool resolveAgainstBase, const char* call);

} // namespace CFPlatform
