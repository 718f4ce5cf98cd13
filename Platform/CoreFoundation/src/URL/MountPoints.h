#pragma once

// The mount point that holds a path, from the process's mount table.

#include <string>

namespace CFPlatform {

// `resolvedPath` is absolute with its symbolic links resolved. The longest mount point of the table
// that covers it; the root when none does (a chroot's table may lack a line for `/`) or when the
// table cannot be read, since every path lies on some volume.
std::string mountPointOf(const std::string& resolvedPath);

// Test seam: reads the mount table from `file` instead of the process's; empty restores that.
void setMountTableOverride(std::string file);

} // namespace CFPlatform
