#pragma once

// Paths of URLs and strings, and POSIX errors, for the file calls.

#include <Foundation/NSTypes.h>

#include <optional>
#include <string>

namespace NSPlatform {

std::optional<std::string> pathOf(NS::URL url);
std::optional<std::string> pathOf(NS::String path);
// A new string of UTF-8 text; the caller releases it.
NS::String createString(const std::string& text);
// Stores a new POSIX error in `error` when one is asked for; answers false.
bool fail(int code, NS::Error* error);

} // namespace NSPlatform
