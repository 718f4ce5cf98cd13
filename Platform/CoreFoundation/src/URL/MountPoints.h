#pragma once

// The mount point that holds a path, from the process's mount table.

#include <optional>
#include <string>

namespace CFPlatform {

// `resolvedPath` is absolute with its symbolic links resolved. Nothing when the mount table
// cannot be read.
std::optional<std::string> mountPointOf(const std::string& resolvedPath);

} // namespace CFPlatform
