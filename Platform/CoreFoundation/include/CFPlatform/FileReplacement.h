#pragma once

// Replaces a file's content so that a reader sees the old content or the new one, never a part.

#include <string>
#include <string_view>

namespace CFPlatform {

// Writes a temporary file in the file's folder, flushes it to disk and renames it over the file.
// On failure the old file is untouched, the temporary file is removed, and `problem` says why.
bool replaceFileContent(const std::string& path, std::string_view content, std::string& problem);

// Test seam: while set, writing the temporary file fails part-way as a full disk would.
void setFileReplacementFailure(bool fail);

} // namespace CFPlatform
